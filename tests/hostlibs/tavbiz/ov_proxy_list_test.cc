#include "tavbiz/ov_proxy_list.h"

#include <gtest/gtest.h>

namespace OVProxy {
namespace {

TEST(ProxyList, SetAcceptsSeveralSeparatorsAndSkipsBadEntries) {
  ovProxyList list;
  list.Set("x:1");
  list.Set("a:80; b:81 ,c:82\td:0 socks5://s:1080");
  EXPECT_EQ(list.ToPacString(), "PROXY a:80; PROXY b:81; PROXY c:82; SOCKS5 s:1080");
  list.Set("");
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_FALSE(list.First().isValid());  // not a crash
}

}  // namespace
}  // namespace OVProxy
