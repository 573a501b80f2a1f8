// The libcurl client against an in-process server on 127.0.0.1.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <nlohmann/json.hpp>

#include "tests/support/loopback_server.h"
#include "zantrel/host/codec/base64.h"
#include "zantrel/host/http/curl_http_client.h"
#include "zantrel/host/image_tool.h"
#include "zantrel/host/result/errors.h"
#include "zantrel/testkit/scoped_http_client.h"
#include "zantrel/testkit/scripted_http_client.h"

namespace zantrel::test_support {
namespace {

using namespace std::chrono_literals;
using host::CurlHttpClient;

host::PostRequest json_post(std::string text, host::Headers headers = {}) {
  host::PostRequest request;
  request.headers = std::move(headers);
  request.body = host::JsonBody::of(text);
  request.timeout = host::Timeout::from_seconds(5, 5);
  return request;
}

class CurlClient : public ::testing::Test {
 protected:
  void SetUp() override {
    server.http.Post("/echo", [this](const httplib::Request& req, httplib::Response& res) {
      ++requests_seen;
      nlohmann::ordered_json seen = {{"authorization", req.get_header_value("Authorization")},
                                     {"content_type", req.get_header_value("Content-Type")},
                                     {"has_expect", req.has_header("Expect")},
                                     {"body", req.body}};
      res.set_content(seen.dump(), "application/json");
    });
    server.http.Post("/form", [](const httplib::Request& req, httplib::Response& res) {
      nlohmann::ordered_json parts = nlohmann::ordered_json::array();
      for (const auto& [name, part] : req.files) {
        parts.push_back({{"name", name},
                         {"filename", part.filename},
                         {"content_type", part.content_type},
                         {"size", part.content.size()},
                         {"content", host::base64_encode(host::as_bytes(part.content))}});
      }
      res.set_content(parts.dump(), "application/json");
    });
    server.http.Post("/slow", [](const httplib::Request&, httplib::Response& res) {
      std::this_thread::sleep_for(2500ms);
      res.set_content("late", "text/plain");
    });
    server.http.Post("/trickle", [](const httplib::Request&, httplib::Response& res) {
      res.set_chunked_content_provider("text/plain",
                                       [](std::size_t offset, httplib::DataSink& sink) {
                                         if (offset >= 6) {
                                           sink.done();
                                           return true;
                                         }
                                         std::this_thread::sleep_for(400ms);
                                         sink.write("ab", 2);
                                         return true;
                                       });
    });
    server.http.Post("/big", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(std::string(5000, 'x'), "text/plain");
    });
    server.http.Post("/big-chunked", [](const httplib::Request&, httplib::Response& res) {
      res.set_chunked_content_provider("text/plain",
                                       [](std::size_t offset, httplib::DataSink& sink) {
                                         if (offset >= 100000) {
                                           sink.done();
                                           return true;
                                         }
                                         const std::string piece(1000, 'y');
                                         sink.write(piece.data(), piece.size());
                                         return true;
                                       });
    });
    server.http.Post("/moved", [](const httplib::Request&, httplib::Response& res) {
      res.set_redirect("/echo", 302);
    });
    server.http.Get("/image", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content("image-bytes:" + req.get_header_value("Authorization"), "image/png");
    });
    server.http.Get("/hop", [](const httplib::Request&, httplib::Response& res) {
      res.set_redirect("/image", 302);
    });
    server.http.Get("/to-file", [](const httplib::Request&, httplib::Response& res) {
      res.set_redirect("file:///etc/passwd", 302);
    });
    server.http.Get("/loop", [](const httplib::Request&, httplib::Response& res) {
      res.set_redirect("/loop", 302);
    });
    server.http.Get("/missing", [](const httplib::Request&, httplib::Response& res) {
      res.status = 404;
      res.set_content("nope", "text/plain");
    });
    server.http.Get("/empty",
                    [](const httplib::Request&, httplib::Response& res) { res.status = 200; });
    server.start();
  }

  LoopbackServer server;
  std::atomic<int> requests_seen{0};
  CurlHttpClient client;
};

TEST_F(CurlClient, PostsJsonTextAsIs) {
  const std::string body = R"({"prompt":"a \"cat\"","n":1})";
  const auto response = client.post(
      server.url("/echo"),
      json_post(body, {{"Authorization", "Bearer k"}, {"Content-Type", "application/json"}}));
  EXPECT_EQ(response.status_code, 200);
  const auto seen = response.json();
  EXPECT_EQ(seen["authorization"], "Bearer k");
  EXPECT_EQ(seen["content_type"], "application/json");
  EXPECT_EQ(seen["has_expect"], false);
  EXPECT_EQ(seen["body"], body);
  // Spare room behind the body lets parsers read it in place.
  EXPECT_GE(response.body.capacity() - response.body.size(), 64u);
}

TEST_F(CurlClient, PostsAMultipartFormWithNamedTypedFileParts) {
  const host::Bytes png = host::to_bytes(std::string("\x89PNG\r\n\x1a\n\0\xff", 10));
  const host::Bytes jpeg = host::to_bytes("\xFF\xD8\xFFjpeg");
  host::PostRequest request;
  request.body = host::Form{
      {{"model", "m"}, {"n", "1"}},
      {{"image", "image-1.png", "image/png", png}, {"image", "image-2.jpg", "image/jpeg", jpeg}}};
  const auto response = client.post(server.url("/form"), request);
  ASSERT_EQ(response.status_code, 200);
  const auto parts = response.json();
  ASSERT_EQ(parts.size(), 4u) << parts.dump();
  EXPECT_EQ(parts[0]["name"], "image");
  EXPECT_EQ(parts[0]["filename"], "image-1.png");
  EXPECT_EQ(parts[0]["content_type"], "image/png");
  EXPECT_EQ(parts[0]["size"], png.size());
  EXPECT_EQ(parts[1]["filename"], "image-2.jpg");
  EXPECT_EQ(parts[0]["content"], host::base64_encode(png));
  EXPECT_EQ(parts[1]["content"], host::base64_encode(jpeg));
  EXPECT_EQ(parts[2]["name"], "model");
  EXPECT_EQ(parts[2]["content"], host::base64_encode(host::as_bytes("m")));
  EXPECT_EQ(parts[3]["name"], "n");
  EXPECT_EQ(parts[3]["content"], host::base64_encode(host::as_bytes("1")));
}

TEST_F(CurlClient, SilenceBeyondTheReadTimeoutIsAReadTimeout) {
  auto request = json_post("{}");
  request.timeout = host::Timeout::from_seconds(5, 1);
  EXPECT_THROW(client.post(server.url("/slow"), request), host::ReadTimeout);
}

TEST_F(CurlClient, ASlowTrickleWithinTheReadTimeoutSucceeds) {
  auto request = json_post("{}");
  request.timeout = host::Timeout::from_seconds(5, 1.5);
  const auto response = client.post(server.url("/trickle"), request);
  EXPECT_EQ(response.text(), "ababab");
}

TEST_F(CurlClient, RefusedConnectionIsAConnectionError) {
  // A port that was free a moment ago and has no listener now.
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/x";
  EXPECT_THROW(client.post(url, json_post("{}")), host::ConnectionError);
}

TEST_F(CurlClient, ResponsesAboveTheCapFail) {
  host::CurlHttpClientOptions options;
  options.max_response_bytes = 1000;
  CurlHttpClient capped(options);
  EXPECT_THROW(capped.post(server.url("/big"), json_post("{}")), host::ResponseTooLarge);
  EXPECT_THROW(capped.post(server.url("/big-chunked"), json_post("{}")), host::ResponseTooLarge);
  EXPECT_EQ(client.post(server.url("/big"), json_post("{}")).body.size(), 5000u);
}

TEST_F(CurlClient, HeadersWithLineBreaksAreRefusedBeforeSending) {
  for (const auto& headers :
       {host::Headers{{"Authorization", "Bearer a\r\nX-Evil: 1"}},
        host::Headers{{"Authorization", std::string("Bearer a\0b", 10)}},
        host::Headers{{"Bad Name", "v"}}, host::Headers{{std::string("X-A\0B", 5), "v"}}}) {
    try {
      client.post(server.url("/echo"), json_post("{}", headers));
      ADD_FAILURE() << "not refused";
    } catch (const host::InvalidHeader& e) {
      EXPECT_EQ(std::string(e.what()).find("Bearer"), std::string::npos) << e.what();
    }
  }
  EXPECT_EQ(requests_seen.load(), 0);
}

TEST_F(CurlClient, OnlyHttpAndHttpsAreSpoken) {
  for (const char* url :
       {"file:///etc/passwd", "ftp://127.0.0.1/x", "gopher://127.0.0.1/", "/etc/passwd"}) {
    EXPECT_THROW(client.post(url, json_post("{}")), host::UnsupportedScheme) << url;
    EXPECT_THROW(client.get(url, {}), host::UnsupportedScheme) << url;
  }
}

TEST_F(CurlClient, PostsDoNotFollowRedirects) {
  const auto response = client.post(server.url("/moved"), json_post("{}"));
  EXPECT_EQ(response.status_code, 302);
  EXPECT_EQ(requests_seen.load(), 0);
}

TEST_F(CurlClient, GetsFollowAFewHttpRedirectsOnly) {
  EXPECT_EQ(client.get(server.url("/hop"), {}).text(), "image-bytes:");
  EXPECT_THROW(client.get(server.url("/loop"), {}), host::TooManyRedirects);
  EXPECT_THROW(client.get(server.url("/to-file"), {}), host::UnsupportedScheme);
}

TEST_F(CurlClient, ConcurrentPostsShareOneClient) {
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        const std::string body =
            "{\"t\":" + std::to_string(t) + ",\"i\":" + std::to_string(i) + "}";
        const auto response = client.post(server.url("/echo"), json_post(body));
        if (response.status_code == 200 && response.json()["body"] == body) ++good;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(good.load(), 80);
}

TEST_F(CurlClient, ImageToolFetchesThroughTheSharedClientWithoutCredentials) {
  testkit::ScopedHttpClient installed(std::make_shared<CurlHttpClient>());
  const auto image = host::ImageTool::get_img_url_io(server.url("/hop"));
  ASSERT_TRUE(image.has_value());
  EXPECT_EQ(host::as_text(*image), "image-bytes:");
  EXPECT_FALSE(host::ImageTool::get_img_url_io(server.url("/missing")).has_value());
  EXPECT_FALSE(host::ImageTool::get_img_url_io(server.url("/empty")).has_value());
  EXPECT_FALSE(host::ImageTool::get_img_url_io("file:///etc/passwd").has_value());
  EXPECT_FALSE(host::ImageTool::get_img_url_io("HTTP://127.0.0.1/").has_value());
}

}  // namespace
}  // namespace zantrel::test_support
