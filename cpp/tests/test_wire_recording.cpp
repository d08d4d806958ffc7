#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "orvak/errors.hpp"
#include "orvak/wire_recording.hpp"

namespace orvak {
namespace {

TEST(WireRecording, EveryByteSurvivesTheJsonRoundTrip) {
    std::string line;
    for (int byte = 0; byte < 256; ++byte) {
        if (byte != '\n') line += static_cast<char>(byte);
    }
    const WireRecord record{1.25e-05, WireRecord::Kind::reply, line};
    const std::string json = to_json_line(record);
    EXPECT_EQ(json.find('\n'), std::string::npos);
    const WireRecord back = parse_json_line(json);
    EXPECT_EQ(back.line, line);
    EXPECT_EQ(back.t, record.t);
    EXPECT_EQ(back.kind, WireRecord::Kind::reply);
    EXPECT_THROW(parse_json_line(R"({"t": 1, "kind": "reply", "line": "x"} trailing)"), ValueError);
    EXPECT_THROW(parse_json_line(R"({"t": 1, "kind": "reply", "line": "\q"})"), ValueError);
}

class ReplayFile : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = (std::filesystem::temp_directory_path() /
                 ("orvak_replay_" +
                  std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + ".jsonl"))
                    .string();
        std::ofstream file(path_);
        for (const auto& record : {WireRecord{0.0, WireRecord::Kind::reply, "banner"},
                                   WireRecord{0.1, WireRecord::Kind::command, "<I1 M116>"},
                                   WireRecord{0.1, WireRecord::Kind::reply, "I1 2\r"},
                                   WireRecord{0.2, WireRecord::Kind::command, "<I1 M115>"},
                                   WireRecord{0.2, WireRecord::Kind::reply, "I1 v1.0.0\r"}}) {
            file << to_json_line(record) << "\n";
        }
    }
    void TearDown() override { std::filesystem::remove(path_); }
    std::string path_;
};

TEST_F(ReplayFile, AnswersRecordedCommandsInOrder) {
    ReplayPort port(path_);
    EXPECT_EQ(port.read(100), "banner\n");
    port.write("<I1 M11");  // a command may arrive in pieces
    EXPECT_EQ(port.in_waiting(), 0U);
    port.write("6>\n<I1 M115>\n");
    EXPECT_EQ(port.read(100), "I1 2\r\nI1 v1.0.0\r\n");
    EXPECT_EQ(port.remaining(), 0U);
}

TEST_F(ReplayFile, AnotherCommandKillsThePortNamingBothLines) {
    ReplayPort port(path_);
    try {
        port.write("<I1 M115>\n");
        FAIL() << "the wrong command was accepted";
    } catch (const ReplayMismatch& mismatch) {
        const std::string text = mismatch.what();
        EXPECT_NE(
            text.find("expected the command '<I1 M116>' (record 2), but '<I1 M115>' was sent"),
            std::string::npos)
            << text;
    }
    EXPECT_THROW(static_cast<void>(port.in_waiting()), ReplayMismatch);
    EXPECT_TRUE(port.is_open());
}

TEST(WireRecording, RefusesAFileItCannotRead) {
    EXPECT_THROW(ReplayPort("/nonexistent/recording.jsonl"), std::system_error);
    try {
        ReplayPort port(std::filesystem::temp_directory_path().string());
        FAIL() << "a directory was read as a recording";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), EISDIR);
    }
    EXPECT_THROW(static_cast<void>(read_recording("/dev/null")), ValueError);
}

}  // namespace
}  // namespace orvak
