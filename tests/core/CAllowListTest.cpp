// Which field units may go on air: addresses and networks of both families.
#include "core/CAllowList.h"

#include <gtest/gtest.h>

#include <string>

namespace {

platform::IpAddress Address(const std::string& text) {
    platform::IpAddress address;
    EXPECT_TRUE(platform::ParseIpAddress(text, address)) << text;
    return address;
}

} // namespace

TEST(CAllowList, AllowsTheAddressesAndNetworksListedAndNothingElse) {
    CAllowList list;
    EXPECT_TRUE(list.Open());
    EXPECT_TRUE(list.Allows(Address("203.0.113.9"))) << "an empty list serves everyone";
    EXPECT_TRUE(list.Allows(Address("2001:db8::9")));

    std::string problem;
    ASSERT_TRUE(list.AddAll("192.0.2.7, 198.51.100.77/24 ,2001:db8:aa::/48,::1", problem))
        << problem;
    EXPECT_FALSE(list.Open());
    EXPECT_EQ(list.Entries(), (std::vector<std::string>{"192.0.2.7/32", "198.51.100.0/24",
                                                        "2001:db8:aa::/48", "::1/128"}))
        << "a bare address is one host; host bits under a prefix are dropped";

    EXPECT_TRUE(list.Allows(Address("192.0.2.7")));
    EXPECT_FALSE(list.Allows(Address("192.0.2.8")));
    EXPECT_FALSE(list.Allows(Address("192.0.2.6")));
    EXPECT_TRUE(list.Allows(Address("198.51.100.0")));
    EXPECT_TRUE(list.Allows(Address("198.51.100.255")));
    EXPECT_FALSE(list.Allows(Address("198.51.101.1")));
    EXPECT_TRUE(list.Allows(Address("2001:db8:aa:ffff::1")));
    EXPECT_FALSE(list.Allows(Address("2001:db8:ab::1")));
    EXPECT_TRUE(list.Allows(Address("::1")));
    EXPECT_FALSE(list.Allows(Address("::2")));
    EXPECT_FALSE(list.Allows(Address("127.0.0.1")));

    // A listener of both families sees IPv4 peers in their mapped form.
    EXPECT_TRUE(list.Allows(Address("::ffff:192.0.2.7")));
    EXPECT_TRUE(list.Allows(Address("::ffff:198.51.100.20")));
    EXPECT_FALSE(list.Allows(Address("::ffff:192.0.2.8")));
    // An IPv4 address is not the IPv6 address of the same bits.
    EXPECT_FALSE(list.Allows(Address("::c000:207")));

    // Networks at their edges: all of IPv4, all of everything, an odd prefix.
    CAllowList wide;
    ASSERT_TRUE(wide.AddAll("0.0.0.0/0", problem));
    EXPECT_TRUE(wide.Allows(Address("255.255.255.255")));
    EXPECT_FALSE(wide.Allows(Address("2001:db8::1")));
    ASSERT_TRUE(wide.Add("::/0", problem));
    EXPECT_TRUE(wide.Allows(Address("2001:db8::1")));
    CAllowList odd;
    ASSERT_TRUE(odd.Add("10.0.0.0/13", problem));
    EXPECT_TRUE(odd.Allows(Address("10.7.255.255")));
    EXPECT_FALSE(odd.Allows(Address("10.8.0.0")));
    ASSERT_TRUE(odd.Add("::ffff:172.16.0.0/108", problem)) << "the mapped range, written as IPv6";
    EXPECT_TRUE(odd.Allows(Address("172.31.1.1")));
    EXPECT_EQ(odd.Entries().back(), "172.16.0.0/12");
}

TEST(CAllowList, RefusesWhatIsNotAnAddressOrNetworkAndThenLetsNobodyIn) {
    for (const char* bad :
         {"", " ", "10.0.0.300", "10.0.0", "studio.example", "10.0.0.0/33", "10.0.0.0/",
          "10.0.0.0/x", "10.0.0.0/-1", "10.0.0.0/8/8", "2001:db8::/129", "[::1]", "fe80::1%eth0",
          "10.0.0.1 /8", "10.0.0.0/0008"}) {
        CAllowList list;
        std::string problem;
        EXPECT_FALSE(list.Add(bad, problem)) << "'" << bad << "'";
        EXPECT_NE(problem.find(std::string("'") + bad + "'"), std::string::npos) << problem;
        EXPECT_FALSE(list.Open()) << "a list given wrongly never serves everyone";
        EXPECT_FALSE(list.Allows(Address("10.0.0.1")));
    }
    std::string problem;
    CAllowList list;
    EXPECT_FALSE(list.AddAll("192.0.2.1,,192.0.2.2", problem));
    EXPECT_NE(problem.find("''"), std::string::npos) << problem;
    EXPECT_FALSE(list.AddAll("192.0.2.3, 192.0.2.999", problem));
    EXPECT_NE(problem.find("192.0.2.999"), std::string::npos) << problem;
    EXPECT_NE(problem.find("ADDRESS/BITS"), std::string::npos) << problem;
    CAllowList v6;
    EXPECT_FALSE(v6.Add("2001:db8::/200", problem));
    EXPECT_NE(problem.find("0 to 128"), std::string::npos) << problem;
}
