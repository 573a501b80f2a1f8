// Which connected addresses the public-only link policy lets through, and the policy at work in
// the libcurl client.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "tests/support/loopback_server.h"
#include "zantrel/host/http/address_policy.h"
#include "zantrel/host/http/curl_http_client.h"
#include "zantrel/host/result/errors.h"

namespace zantrel::test_support {
namespace {

TEST(AddressPolicy, OnlyPublicAddressesPass) {
  const struct {
    const char* address;
    bool is_public;
  } cases[] = {
      {"8.8.8.8", true},
      {"1.1.1.1", true},
      {"172.32.0.1", true},   // just outside 172.16/12
      {"100.128.0.1", true},  // just outside 100.64/10
      {"2606:4700:4700::1111", true},
      {"2a00:1450:4001:82b::200e", true},
      {"::ffff:8.8.8.8", true},
      {"127.0.0.1", false},
      {"127.255.255.254", false},
      {"10.1.2.3", false},
      {"172.16.0.1", false},
      {"172.31.255.255", false},
      {"192.168.1.1", false},
      {"169.254.169.254", false},  // cloud metadata
      {"100.64.0.1", false},
      {"0.0.0.0", false},
      {"224.0.0.1", false},
      {"255.255.255.255", false},
      {"198.18.0.1", false},
      {"::1", false},
      {"::", false},
      {"fe80::1", false},
      {"fe80::1%eth0", false},
      {"fd12:3456:789a::1", false},
      {"fc00::1", false},
      {"ff02::1", false},
      {"2001:db8::1", false},
      {"::ffff:127.0.0.1", false},  // IPv4-mapped loopback
      {"::ffff:10.0.0.1", false},
      {"64:ff9b::a9fe:a9fe", false},  // NAT64 of 169.254.169.254
      {"2002:7f00:1::", false},       // 6to4 of 127.0.0.1
      {"::127.0.0.1", false},         // IPv4-compatible
      {"localhost", false},           // names never pass: only connected addresses are judged
      {"", false},
      {"999.1.1.1", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(host::is_public_address(c.address), c.is_public) << c.address;
  }
}

class PublicOnlyLinks : public ::testing::Test {
 protected:
  void SetUp() override {
    server.http.Get("/image", [this](const httplib::Request&, httplib::Response& res) {
      ++image_requests;
      res.set_content("image-bytes", "image/png");
    });
    server.http.Post("/echo", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content(req.body, "application/json");
    });
    server.start();
  }

  LoopbackServer server;
  std::atomic<int> image_requests{0};
};

TEST_F(PublicOnlyLinks, LinksToThisMachineAreRefusedWhateverTheySpell) {
  host::CurlHttpClientOptions options;
  options.link_addresses = host::LinkAddressPolicy::kPublicOnly;
  host::CurlHttpClient client(options);
  const std::string port = std::to_string(server.port());
  for (const std::string& url :
       {server.url("/image"), "http://localhost:" + port + "/image",
        "http://127.1:" + port + "/image", "http://2130706433:" + port + "/image",
        "http://[::ffff:127.0.0.1]:" + port + "/image"}) {
    EXPECT_THROW(client.get(url, {}), host::AddressRefused) << url;
  }
  // The refusal happens before any request is sent on the connection.
  EXPECT_EQ(image_requests.load(), 0);
}

TEST_F(PublicOnlyLinks, ServicePostsAndTheDefaultPolicyAreUnaffected) {
  host::CurlHttpClientOptions options;
  options.link_addresses = host::LinkAddressPolicy::kPublicOnly;
  host::CurlHttpClient strict(options);
  host::PostRequest post;
  post.body = host::JsonBody::of("{}");
  EXPECT_EQ(strict.post(server.url("/echo"), post).status_code, 200);

  host::CurlHttpClient open_client;
  EXPECT_EQ(open_client.get(server.url("/image"), {}).text(), "image-bytes");
}

}  // namespace
}  // namespace zantrel::test_support
