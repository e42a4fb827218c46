#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "common/ip_util.h"
#include "common/plx_log.h"
#include "common/plx_paths.h"
#include "common/plx_ratelimit.h"
#include "common/plx_status.h"
#include "common/qrv_util.h"

namespace {

plx_ip_addr v6(const char *text) {
    plx_ip_addr a{};
    EXPECT_EQ(plx_ip_from_str(text, &a), PLX_OK);
    return a;
}

TEST(IpToStr, FormatsBothFamilies) {
    std::vector<std::string> formatted;
    // With two equal runs of zeros the first becomes "::"; otherwise the longer run wins.
    for (const char *in :
         {"10.1.2.3", "2001:db8:0:0:1:0:0:1", "2001:0:0:1:0:0:0:1", "::", "fe80::", "::1"}) {
        plx_ip_addr a = v6(in);
        formatted.push_back(plx_ip_to_str(&a));
    }
    EXPECT_EQ(formatted, (std::vector<std::string>{"10.1.2.3", "2001:db8::1:0:0:1", "2001:0:0:1::1",
                                                   "::", "fe80::", "::1"}));
}

TEST(IpToStr, EightBuffersRotate) {
    plx_ip_addr addrs[9];
    const char *out[9];
    for (int i = 0; i < 9; ++i) {
        addrs[i] = plx_ip_addr{{10, 0, 0, static_cast<uint8_t>(i)}, PLX_AF_IPV4};
        out[i] = plx_ip_to_str(&addrs[i]);
    }
    EXPECT_STREQ(out[1], "10.0.0.1");
    EXPECT_STREQ(out[7], "10.0.0.7");
    EXPECT_EQ(out[0], out[8]);  // the ninth call reuses the first buffer
}

TEST(Paths, RootAndShmPrefixRedirect) {
    unsetenv("PLX_ROOT");
    unsetenv("PLX_SHM_PREFIX");
    EXPECT_EQ(plx_path("/var/run/.plxd"), "/var/run/.plxd");
    EXPECT_EQ(plx_shm_name("almushtarika"), "/almushtarika");
    setenv("PLX_ROOT", "/tmp/r/", 1);
    setenv("PLX_SHM_PREFIX", "t1.", 1);
    EXPECT_EQ(plx_path("/var/run/.plxd"), "/tmp/r/var/run/.plxd");
    EXPECT_EQ(plx_shm_name("/almushtarika"), "/t1.almushtarika");
    EXPECT_EQ(qrv_pid_file_name(QRV_MOD_PLXD, 0), "/tmp/r/var/run/plxd.0.pid");
    unsetenv("PLX_ROOT");
    unsetenv("PLX_SHM_PREFIX");
}

// The name tables read both ways; what lies outside them has no name.
TEST(NameTables, RoundTripAndEdges) {
    for (int id : {QRV_MOD_HBUSD, QRV_MOD_FIBD, QRV_MOD_SYSMGR, QRV_MOD_PLXD})
        EXPECT_EQ(qrv_daemon_id(qrv_daemon_name(id)), id);
    EXPECT_STREQ(qrv_daemon_name(QRV_MOD_PLXD), "plxd");  // names the daemon's socket
    EXPECT_STREQ(qrv_daemon_name(0), "unknown");
    uint32_t colors = 0;
    for (; std::string(qrv_color_name(colors)) != "--"; ++colors)
        EXPECT_EQ(qrv_color_number(qrv_color_name(colors)), static_cast<int>(colors));
    EXPECT_EQ(colors, 23u);
    EXPECT_EQ(qrv_color_number("nocolor"), -1);
    EXPECT_STREQ(qrv_encap_name(2), "ipsec");
    EXPECT_STREQ(qrv_encap_name(3), "--");
    EXPECT_EQ(qrv_action_name(0), nullptr);
    EXPECT_STREQ(qrv_action_name(1), "reject");
    EXPECT_STREQ(qrv_action_name(25), "redirect-dns");
    EXPECT_EQ(qrv_action_name(26), nullptr);
}

// A burst from one site lets a few lines through, then reports how many it held back; other
// sites are not held back meanwhile.
TEST(RateLimit, BurstOfOneSiteIsCutAndCounted) {
    plx_ratelimit limit;
    // Two sites a multiple of the slot count apart, as globals between guard zones lie.
    static const char sites[129] = {};
    const char &site = sites[0], &other = sites[128];
    uint32_t held = 0;
    int allowed = 0;
    for (int i = 0; i < 100; ++i)
        allowed += limit.allow(&site, 1, 5000, &held);
    EXPECT_EQ(allowed, static_cast<int>(plx_ratelimit::kBurst));
    EXPECT_TRUE(limit.allow(&other, 1, 5000, &held));
    EXPECT_TRUE(limit.allow(&site, 2, 5000, &held));  // another line of the same site
    EXPECT_FALSE(limit.allow(&site, 1, 5999, &held));
    ASSERT_TRUE(limit.allow(&site, 1, 6000, &held));  // the next second
    EXPECT_EQ(held, 91u);
}

}  // namespace
