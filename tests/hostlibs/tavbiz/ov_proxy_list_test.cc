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

TEST(ProxyList, EqualityIsOrderSensitive) {
  ovProxyList ab, ba;
  ab.Set("a:1;b:2");
  ba.Set("b:2;a:1");
  EXPECT_FALSE(ab.Equals(ba));
  ba.Set("a:1 b:2");
  EXPECT_TRUE(ab.Equals(ba));
}

}  // namespace
}  // namespace OVProxy
