// The Gemini request body: MIME detection, parts, the ordered map and the bytes on the wire.
#include <gtest/gtest.h>

#include "tests/support/test_data.h"
#include "zantrel/host/codec/base64.h"
#include "zantrel/image/tavelin/internal/gemini_body.h"
#include "zantrel/image/tavelin/tavelina_client.h"

namespace zantrel::test_support {
namespace {

using image::tavelin::TavelinaClient;
using json = nlohmann::ordered_json;

TEST(DetectMimeType, SignaturesInOrder) {
  const struct {
    std::string bytes;
    const char* mime;
  } cases[] = {
      {std::string("\x89PNG\r\n\x1a\n", 8), "image/png"},
      {std::string("\x89PNG\r\n\x1a", 7), "image/jpeg"},
      {"\xFF\xD8\xFF", "image/jpeg"},
      {"\xFF\xD8", "image/jpeg"},
      {"GIF87a", "image/gif"},
      {"GIF89a...", "image/gif"},
      {"BM6", "image/jpeg"},
      {"RIFF\x01\x02\x03\x04WEBP", "image/webp"},
      {"RIFF\x01\x02\x03\x04WAVE", "image/jpeg"},
      {"RIFF", "image/jpeg"},
      {"RIFF1234WEB", "image/jpeg"},
      {"", "image/jpeg"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(TavelinaClient::_detect_mime_type(host::as_bytes(c.bytes)), c.mime)
        << json(c.bytes).dump();
  }
}

TEST(BytesToPart, InlineDataWithTypeThenBase64) {
  EXPECT_EQ(TavelinaClient::_bytes_to_part(host::as_bytes("abc"), "image/gif").dump(),
            R"({"inlineData":{"mimeType":"image/gif","data":"YWJj"}})");
  EXPECT_EQ(TavelinaClient::_bytes_to_part(host::as_bytes("")).dump(),
            R"({"inlineData":{"mimeType":"image/jpeg","data":""}})");
}

TEST(BuildParts, TextFirstThenImagesInOrder) {
  TavelinaClient client("http://h", "k");
  const auto parts = client._build_parts({png_bytes("1"), jpeg_bytes("2")}, "draw");
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_EQ(parts[0], json({{"text", "draw"}}));
  EXPECT_EQ(parts[1]["inlineData"]["mimeType"], "image/png");
  EXPECT_EQ(parts[1]["inlineData"]["data"], b64(host::as_text(png_bytes("1"))));
  EXPECT_EQ(parts[2]["inlineData"]["mimeType"], "image/jpeg");
}

struct BodyCase {
  const char* name;
  std::optional<std::string> ratio;
  std::optional<std::string> size;
  const char* generation_config;  // expected "generationConfig" as JSON text
};

TEST(BuildBodyData, ImageConfigFollowsRatioAndSize) {
  const BodyCase cases[] = {
      {"defaults", "2:3", "1K",
       R"({"responseModalities":["IMAGE"],"imageConfig":{"aspectRatio":"2:3","imageSize":"1K"}})"},
      {"lower-case size", "16:9", "4k",
       R"({"responseModalities":["IMAGE"],"imageConfig":{"aspectRatio":"16:9","imageSize":"4K"}})"},
      {"both absent", std::nullopt, std::nullopt, R"({"responseModalities":["IMAGE"]})"},
      {"both empty", "", "", R"({"responseModalities":["IMAGE"]})"},
      {"size alone", std::nullopt, "2K",
       R"({"responseModalities":["IMAGE"],"imageConfig":{"imageSize":"2K"}})"},
      {"ratio alone", "1:1", "",
       R"({"responseModalities":["IMAGE"],"imageConfig":{"aspectRatio":"1:1"}})"},
  };
  TavelinaClient client("http://h", "k");
  for (const auto& c : cases) {
    const json body = client._build_body_data("p", std::nullopt, c.ratio, c.size);
    EXPECT_EQ(body["generationConfig"].dump(), c.generation_config) << c.name;
    EXPECT_EQ(body["contents"].dump(), R"([{"role":"user","parts":[{"text":"p"}]}])") << c.name;
    std::vector<std::string> keys;
    for (const auto& item : body.items()) keys.push_back(item.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"contents", "generationConfig", "response_format"}));
    EXPECT_EQ(body["response_format"], "url") << c.name;
  }
}

TEST(BuildBodyData, DefaultsAndEmptyLists) {
  TavelinaClient client("http://h", "k");
  const json absent = client._build_body_data("a dog");
  EXPECT_EQ(absent, client._build_body_data("a dog", std::vector<host::Bytes>{}));
  EXPECT_EQ(
      absent.dump(),
      R"({"contents":[{"role":"user","parts":[{"text":"a dog"}]}],"generationConfig":)"
      R"({"responseModalities":["IMAGE"],"imageConfig":{"aspectRatio":"2:3","imageSize":"1K"}},)"
      R"("response_format":"url"})");
  const json empty_prompt = client._build_body_data("");
  EXPECT_EQ(empty_prompt["contents"][0]["parts"], json::parse(R"([{"text":""}])"));
  const json with_image = client._build_body_data("x", std::vector<host::Bytes>{host::Bytes{}});
  EXPECT_EQ(with_image["contents"][0]["parts"][1].dump(),
            R"({"inlineData":{"mimeType":"image/jpeg","data":""}})");
  EXPECT_EQ(with_image["response_format"], "url");
}

// The bytes posted must be exactly the JSON text of the map, whatever the inputs hold.
TEST(WireBody, EqualsTheMapsJsonText) {
  TavelinaClient client("http://h", "k");
  std::string binary(256, '\0');
  for (int i = 0; i < 256; ++i) binary[static_cast<std::size_t>(i)] = static_cast<char>(i);
  const struct {
    std::string prompt;
    std::vector<host::Bytes> images;
    std::optional<std::string> ratio, size;
  } cases[] = {
      {"plain", {}, "2:3", "1K"},
      {"quotes \" and \\ and \n\t and \x01 and 日本語 ✓",
       {png_bytes(), jpeg_bytes()},
       "21:9",
       "4k"},
      {"",
       {host::Bytes{}, host::to_bytes(binary), host::to_bytes(binary.substr(0, 1))},
       std::nullopt,
       ""},
      {"x", {host::to_bytes("GIF89a"), host::to_bytes("RIFF0000WEBPxx")}, "", "2K"},
  };
  for (const auto& c : cases) {
    const json map = client._build_body_data(c.prompt, c.images, c.ratio, c.size);
    std::optional<std::string> upper = c.size;
    if (upper) {
      for (char& ch : *upper) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    }
    const auto wire = image::tavelin::internal::write_gemini_body(
        c.prompt, c.images, c.ratio ? std::optional<std::string_view>(*c.ratio) : std::nullopt,
        upper ? std::optional<std::string_view>(*upper) : std::nullopt);
    EXPECT_EQ(json::parse(host::as_text(wire)), map) << c.prompt;
  }
}

// Linked user images go by their files, in history and in the new turn; the model's image goes
// back inline with its signature even when its bytes equal a linked one.
TEST(WireBody, LinkedImagesAreNamedByTheirFiles) {
  const auto shared = std::make_shared<const host::Bytes>(png_bytes());
  const auto other = std::make_shared<const host::Bytes>(jpeg_bytes());
  const std::vector<host::ConversationTurn> history = {
      {"user",
       {{"a fox", nullptr, "", std::nullopt, std::nullopt},
        {std::nullopt, shared, "image/png", std::nullopt, std::nullopt},
        {std::nullopt, other, "image/jpeg", std::nullopt, std::nullopt}}},
      {"model", {{std::nullopt, shared, "image/png", "c2ln", std::nullopt}}}};
  const std::vector<host::Bytes> images = {png_bytes()};
  const host::UploadedFile file{"files/a", "https://h/v1beta/files/a", "image/png", {}};
  const std::vector<image::tavelin::internal::ImageLink> links = {{*shared, file},
                                                                  {images[0], file}};
  const json body = json::parse(host::as_text(host::flatten(image::tavelin::internal::gemini_body(
      "again", images, "1:1", "1K", false, nullptr, history, links))));
  const json linked = {{"fileData", {{"mimeType", "image/png"}, {"fileUri", file.uri}}}};
  EXPECT_EQ(body["contents"][0]["parts"][1], linked);
  EXPECT_TRUE(body["contents"][0]["parts"][2].contains("inlineData")) << "not linked";
  EXPECT_EQ(body["contents"][1]["parts"][0]["inlineData"]["data"], host::base64_encode(*shared));
  EXPECT_EQ(body["contents"][1]["parts"][0]["thoughtSignature"], "c2ln");
  EXPECT_EQ(body["contents"][2]["parts"][1], linked);
  EXPECT_EQ(body["contents"][2]["parts"].size(), 2u);
}

TEST(WireBody, InvalidUtf8InThePromptStillGivesValidJson) {
  const std::string prompt = "bad \xC3 and \xFF end";
  const auto wire = image::tavelin::internal::write_gemini_body(prompt, {}, "1:1", "1K");
  const json parsed = json::parse(host::as_text(wire));
  EXPECT_EQ(parsed["contents"][0]["parts"][0]["text"], "bad \xEF\xBF\xBD and \xEF\xBF\xBD end");
}

TEST(ExtractFileUris, CamelCaseLinksOnlyAndTheResponseId) {
  const json body = json::parse(R"({"candidates":[{"content":{"parts":[
      {"fileData":{"fileUri":"https://f/1","mimeType":"image/png"}},
      {"fileData":{}},
      {"file_data":{"file_uri":"https://f/2"}}]}}],"responseId":"resp-7"})");
  const auto [links, id] = TavelinaClient::_extract_file_uris(body);
  EXPECT_EQ(links, std::vector<std::string>{"https://f/1"});
  EXPECT_EQ(id, "resp-7");

  const auto [none, no_id] =
      TavelinaClient::_extract_file_uris(json::parse(R"({"candidates":[{}]})"));
  EXPECT_TRUE(none.empty());
  EXPECT_FALSE(no_id.has_value());

  const json many = json::parse(R"({"candidates":[
      {"content":{"parts":[{"fileData":{"fileUri":"a"}},{"fileData":{"fileUri":""}}]}},
      {"content":{}},
      {"content":{"parts":[{"fileData":{"fileUri":"b"}},{"fileData":{"fileUri":"a"}}]}}]})");
  EXPECT_EQ(TavelinaClient::_extract_file_uris(many).first,
            (std::vector<std::string>{"a", "b", "a"}));
}

}  // namespace
}  // namespace zantrel::test_support
