// The option table against the program made from it: render's and play's
// --help list exactly the table's rows with their texts, and a value an
// option refuses is refused in the same words on the command line, in a
// project file and by the table's own check (the page's), each case's
// words written here by hand.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <sstream>

#include "optionTable.h"
#include "support.h"

namespace {

namespace fs = std::filesystem;

// The long names --help lists under "Options:" and "Positionals:".
std::set<std::string> helpNames(const std::string& help) {
  std::set<std::string> names;
  const std::regex option(R"(^  (?:-[a-zA-Z],)?--([a-z][a-z-]*)\b)");
  const std::regex positional(R"(^  ([A-Z]+) )");
  std::istringstream lines(help);
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    if (std::regex_search(line, m, option) || std::regex_search(line, m, positional)) {
      names.insert(m[1]);
    }
  }
  return names;
}

TEST(OptionTable, TheHelpListsExactlyTheRowsWithTheirTexts) {
  for (const auto& [command, who] : {std::pair<std::string, unsigned>{"render", kForRender}, {"play", kForPlay}}) {
    int status = -1;
    const std::string help = vt::runOutput({vt::studioBinary(), command, "--help"}, &status);
    ASSERT_EQ(status, 0) << help;
    std::set<std::string> rows{"help"};
    for (const OptionRow& row : optionTable()) {
      if ((row.commands & who) == 0) {
        continue;
      }
      rows.insert(row.name());
      // CLI11 prints a help on one line after the names.
      EXPECT_NE(help.find(row.help), std::string::npos) << command << " --" << row.name() << "'s help is not shown";
    }
    EXPECT_EQ(helpNames(help), rows) << command << " --help:\n" << help;
  }
  // What the two commands differ in is each its own row.
  ASSERT_NE(findOptionRow(kForRender, "fps"), nullptr);
  ASSERT_NE(findOptionRow(kForPlay, "fps"), nullptr);
  EXPECT_EQ(findOptionRow(kForPlay, "part"), nullptr);
  EXPECT_EQ(findOptionRow(kForRender, "osc"), nullptr);
}

// Each row's default is a value the row takes, as typed on a command line;
// and the defaults a user sees are the studio's: a video 1920x1080 at 30,
// play's window 800x600.
TEST(OptionTable, EveryDefaultIsAValueItsOptionTakes) {
  for (const OptionRow& row : optionTable()) {
    if (!row.fallback.empty()) {
      EXPECT_TRUE(checkOptionValue(row, row.fallback)) << "--" << row.name() << " " << row.fallback << ": "
                                                        << checkOptionValue(row, row.fallback).why();
    }
  }
  EXPECT_EQ(findOptionRow(kForRender, "size")->fallback, "1920x1080");
  EXPECT_EQ(findOptionRow(kForRender, "fps")->fallback, "30");
  EXPECT_EQ(findOptionRow(kForRender, "crf")->fallback, "18");
  EXPECT_EQ(findOptionRow(kForPlay, "size")->fallback, "800x600");
}

class Options : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vrax-options-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    ASSERT_TRUE(vt::writeTone((dir_ / "song.wav").string(), 44100, 2, 44100));
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

// One value, refused alike wherever it is given: the words each place
// says, written here, not read from the program.
TEST_F(Options, AValueIsRefusedInTheSameWordsWhereverItIsGiven) {
  struct Case {
    std::string option;
    std::string value;
    std::string json;  // the value as a project holds it
    std::string says;
  };
  const std::vector<Case> cases = {
      {"crf", "52", "52", "--crf 52 is not in range: 0 (lossless) to 51"},
      {"crf", "20.5", "20.5", "--crf must be a whole number, not a fraction"},
      {"fps", "0", "0", "--fps must be a number from 1 to 240"},
      {"size", "8x8", "\"8x8\"", "--size 8x8 is out of range"},
      {"size", "big", "\"big\"", "--size must look like 1280x720"},
      {"gain", "41", "41", "--gain must be decibels from -40 to 40"},
      {"beats-per-bar", "17", "17", "--beats-per-bar must be from 1 to 16"},
      {"crossfade", "65", "65", "--crossfade must be beats from 0 to 64"},
      {"change-every", "0", "0", "--change-every must be bars from 1 to 1000"},
      {"seed", "-1", "\"-1\"", "--seed must be a whole number from 0 to 4294967295"},
      {"title-size", "3", "3", "--title-size must be from 0.5 to 2.5"},
      {"title-plate", "black@2", "\"black@2\"", "--title-plate is a colour with @OPACITY from 0 to 1"},
      {"title-colour", "nocolour", "\"nocolour\"", "--title-colour is #rrggbb, #rgb or a colour's name"},
      {"downbeat", "-1", "-1", "--downbeat must be seconds from 0 to 36000"},
      {"fade-in", "3601", "3601", "--fade-in must be seconds from 0 to 3600"},
      {"title-for", "-2", "-2", "--title-for must be seconds from 0 to 36000"},
      {"from", "soon", "\"soon\"", "--from must be seconds"},
      {"length", "0", "0", "--length must be seconds from 0.01 to 3600"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("--" + c.option + " " + c.value);
    const OptionRow* row = findOptionRow(kForRender, c.option);
    ASSERT_NE(row, nullptr);
    const Status byTable = checkOptionValue(*row, c.value);
    ASSERT_FALSE(byTable);
    EXPECT_NE(byTable.why().find(c.says), std::string::npos) << byTable.why();

    const vt::StudioRun given = vt::studio(dir_.string(), {"render", "song.wav", "out.mp4", "--" + c.option, c.value});
    EXPECT_EQ(given.status, 2) << given.err;
    EXPECT_NE(given.err.find(c.says), std::string::npos) << given.err;

    vt::writeText((dir_ / "p.vrax.json").string(), R"({"vrax-project": 1, "songs": ["song.wav"], "options": {")" +
                                                       c.option + "\": " + c.json + "}}");
    const vt::StudioRun project = vt::studio(dir_.string(), {"render", "p.vrax.json", "out.mp4"});
    EXPECT_EQ(project.status, 2) << project.err;
    EXPECT_NE(project.err.find("options." + c.option + ": " + c.says), std::string::npos) << project.err;
    EXPECT_FALSE(fs::exists(dir_ / "out.mp4"));
  }
  // Choices and ranges the table holds, refused by its check and by the
  // command line (whose words for those are CLI11's: the value and the option).
  for (const auto& [option, value] : std::vector<std::pair<std::string, std::string>>{
           {"title-at", "left"}, {"level", "loud"}, {"for", "cinema"}, {"preroll", "601"}, {"flash-guard", "maybe"}}) {
    SCOPED_TRACE("--" + option + " " + value);
    const Status byTable = checkOptionValue(*findOptionRow(kForRender, option), value);
    ASSERT_FALSE(byTable);
    EXPECT_NE(byTable.why().find("--" + option), std::string::npos) << byTable.why();
    EXPECT_NE(byTable.why().find(value), std::string::npos) << byTable.why();
    const vt::StudioRun given = vt::studio(dir_.string(), {"render", "song.wav", "out.mp4", "--" + option, value});
    EXPECT_EQ(given.status, 2) << given.err;
    EXPECT_NE(given.err.find("--" + option), std::string::npos) << given.err;
  }
  // What each takes passes the same check.
  for (const auto& [option, value] : std::vector<std::pair<std::string, std::string>>{
           {"crf", "0"}, {"fps", "62.5"}, {"size", "portrait"}, {"gain", "-40"}, {"title-plate", "#fff@0.8"},
           {"seed", "4294967295"}, {"for", "reel"}, {"preroll", "0"}, {"from", "1/3"}}) {
    EXPECT_TRUE(checkOptionValue(*findOptionRow(kForRender, option), value)) << "--" << option << " " << value;
  }
}

}  // namespace
