#include "tavbiz/ov_proxy_list.h"

#include <gtest/gtest.h>

namespace OVProxy {
namespace {

TEST(ProxyList, SetAcceptsSeveralSeparatorsAndSkipsBadEntries) {
  ovProxyList list;
  list.Set("a:80; b:81 ,c:82\td:0 socks5://s:1080");
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list.First(), ovProxyServer("a", 80, "HTTP"));
  EXPECT_EQ(list.ToPacString(), "PROXY a:80; PROXY b:81; PROXY c:82; SOCKS5 s:1080");
}

TEST(ProxyList, SetReplacesAndEmptyTextClears) {
  ovProxyList list;
  list.Set("a:80");
  list.Set("b:81");
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list.First().host, "b");
  list.Set("");
  EXPECT_TRUE(list.IsEmpty());
  EXPECT_EQ(list.ToPacString(), "");
}

TEST(ProxyList, FirstOnEmptyListIsInvalidNotACrash) {
  ovProxyList list;
  EXPECT_FALSE(list.First().isValid());
}

TEST(ProxyList, EqualityIsOrderSensitive) {
  ovProxyList ab, ba;
  ab.Set("a:1;b:2");
  ba.Set("b:2;a:1");
  EXPECT_FALSE(ab.Equals(ba));
  ba.Set("a:1 b:2");
  EXPECT_TRUE(ab.Equals(ba));
}

TEST(ProxyList, SingleAndAdd) {
  ovProxyList list;
  list.Set("a:1;b:2");
  list.SetSingleProxyServer(ovProxyServer("c", 3, "HTTP"));
  ASSERT_EQ(list.size(), 1u);
  list.AddProxyServer(ovProxyServer::CreateDirect());
  EXPECT_EQ(list.ToPacString(), "PROXY c:3; DIRECT");
  ovProxyList moved = std::move(list);
  EXPECT_EQ(moved.size(), 2u);
}

}  // namespace
}  // namespace OVProxy
