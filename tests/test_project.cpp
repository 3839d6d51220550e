// Project files over the built binary: what `render --save-project` writes
// renders the same frames again from anywhere, the presets give the sizes,
// rates and alpha the places they are named for take (read back by
// ffprobe), and a project's every kind of wrong field is refused by name.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <sstream>

#include "support.h"

namespace {

namespace fs = std::filesystem;

class Project : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("vrax-project-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "projects");
    ASSERT_TRUE(vt::writeTone((dir_ / "song.wav").string(), 44100 * 3, 2, 44100));
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
};

TEST_F(Project, RendersWhatSaveProjectWroteFromAnyFolder) {
  const vt::StudioRun first =
      vt::studio(dir_.string(), {"render", "song.wav", "first.mp4", "--picture", "bars", "--set", "lowColour=red",
                                 "--title", "-- a dash first", "--for", "square", "--to", "2", "--fade-in", "0.5",
                                 "--save-project", "projects/clip.vrax.json", "-q"});
  ASSERT_EQ(first.status, 0) << first.err;
  const std::string saved = vt::readText((dir_ / "projects/clip.vrax.json").string());
  // Names relative to the project's own folder, so the folder can move.
  EXPECT_NE(saved.find("\"../song.wav\""), std::string::npos) << saved;
  EXPECT_EQ(saved.find("quiet"), std::string::npos) << "a run's option in the project\n" << saved;

  const vt::StudioRun again = vt::studio(
      "/", {"render", (dir_ / "projects/clip.vrax.json").string(), (dir_ / "again.mp4").string(), "-q"});
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(vt::probe((dir_ / "again.mp4").string(), "stream=width,height,r_frame_rate"), "1080\n1080\n30/1\n");
  for (int frame : {0, 20, 59}) {
    EXPECT_LE(vt::meanDifference(vt::frameRgb((dir_ / "first.mp4").string(), frame),
                                 vt::frameRgb((dir_ / "again.mp4").string(), frame)),
              0.5)
        << "frame " << frame;
  }
  // The project's own output name, beside the project, when none is given.
  fs::rename(dir_ / "projects/clip.vrax.json", dir_ / "clip.vrax.json");
  std::string text = vt::readText((dir_ / "clip.vrax.json").string());
  text.replace(text.find("../song.wav"), 11, "song.wav");
  vt::writeText((dir_ / "clip.vrax.json").string(), text);
  ASSERT_EQ(vt::studio(dir_.string(), {"render", "clip.vrax.json", "--overwrite", "-q"}).status, 0);
  EXPECT_TRUE(fs::exists(dir_ / "first.mp4"));
}

TEST_F(Project, PresetsGiveTheSizesRatesAndAlphaTheirPlacesTake) {
  struct Case {
    std::string preset, output, expected;
  };
  const std::vector<Case> cases = {
      {"youtube", "a.mp4", "h264\n1920\n1080\n30/1\n"},
      {"reel", "b.mp4", "h264\n1080\n1920\n30/1\n"},
      {"square", "c.mp4", "h264\n1080\n1080\n30/1\n"},
      {"preview", "d.mp4", "h264\n640\n360\n30/1\n"},
      {"layer", "e.mov", "prores\n1920\n1080\n30/1\n"},
  };
  for (const Case& c : cases) {
    const vt::StudioRun given = vt::studio(dir_.string(), {"render", "song.wav", c.output, "--for", c.preset,
                                                           "--to", "0.2", "-q", "--overwrite"});
    ASSERT_EQ(given.status, 0) << c.preset << ": " << given.err;
    EXPECT_EQ(vt::probe((dir_ / c.output).string(), "stream=codec_name,width,height,r_frame_rate"), c.expected)
        << c.preset;
  }
  EXPECT_NE(vt::probe((dir_ / "e.mov").string(), "stream=pix_fmt").find('a'), std::string::npos)
      << "the layer keeps its alpha";
}

TEST_F(Project, RefusedNamingTheField) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"{", "is not JSON"},
      {R"({"songs": ["song.wav"]})", "vrax-project (the form's version) is missing"},
      {R"({"vrax-project": 2, "songs": ["song.wav"]})", "vrax-project must be 1"},
      {R"({"vrax-project": 1, "songs": ["song.wav"], "colour": "red"})", "unknown field \"colour\""},
      {R"({"vrax-project": 1, "songs": "song.wav"})", "songs must be a list"},
      {R"({"vrax-project": 1, "options": {}})", "songs is missing"},
      {R"({"vrax-project": 1, "songs": ["song.wav"], "output": 5})", "output must be a file name"},
      {R"({"vrax-project": 1, "songs": ["song.wav"], "options": []})", "options must be an object"},
      {R"({"vrax-project": 1, "songs": ["song.wav"], "options": {"sizes": "720p"}})",
       "options.sizes is not one of render's options"},
      {R"({"vrax-project": 1, "songs": ["song.wav"], "options": {"transparent": "yes"}})",
       "options.transparent must be true or false"},
      {R"({"vrax-project": 1, "songs": ["song.wav"], "options": {"size": ["720p"]}})",
       "options.size must be text or a number"},
      {R"({"vrax-project": 1, "songs": ["song.wav"], "options": {"set": {"a": 1}}})", "options.set must be a list"},
      {R"({"vrax-project": 1, "songs": ["song.wav"], "options": {"set": [true]}})",
       "options.set[0] must be text or a number"},
      {R"({"vrax-project": 1, "songs": ["song.wav"], "options": {"overwrite": true}})",
       "options.overwrite is about one run"},
      {R"({"vrax-project": 1, "songs": ["song.wav"], "options": {"fps": "fast"}})", "--fps must be a number"},
  };
  for (const auto& [json, says] : cases) {
    vt::writeText((dir_ / "bad.vrax.json").string(), json);
    const vt::StudioRun run = vt::studio(dir_.string(), {"render", "bad.vrax.json", "out.mp4"});
    EXPECT_EQ(run.status, 2) << json << "\n" << run.err;
    EXPECT_NE(run.err.find(says), std::string::npos) << json << "\n" << run.err;
    EXPECT_FALSE(fs::exists(dir_ / "out.mp4")) << json;
  }
  vt::expectRefusals(dir_.string(), {"render", "song.wav", "x.mp4"},
                     {{{"--save-project", "x.json"}, 2, "--save-project must name a NAME.vrax.json file"},
                      {{"--for", "cinema"}, 2, "--for"},
                      {{"--progress", "xml"}, 2, "--progress"}},
                     "x.mp4");
}

// What a render reports about itself for a program following it, and its
// estimate: --progress json's lines parse as numbers that climb to the
// frame count worked out by hand (3 s at 30 fps: 90), and --estimate says
// one line in its form and writes nothing.
TEST_F(Project, ProgressLinesAndTheEstimateAreWhatAProgramReads) {
  const vt::StudioRun run =
      vt::studio(dir_.string(), {"render", "song.wav", "p.mp4", "--for", "preview", "--progress", "json", "-q"});
  ASSERT_EQ(run.status, 0) << run.err;
  std::istringstream lines(run.err);
  long long last = -1;
  int reports = 0;
  for (std::string line; std::getline(lines, line);) {
    long long done = 0;
    long long total = 0;
    double speed = 0;
    double left = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "{\"done\":%lld,\"total\":%lld,\"speed\":%lf,\"left\":%lf}", &done, &total,
                          &speed, &left),
              4)
        << "not a progress line: " << line;
    EXPECT_EQ(total, 90);
    EXPECT_GE(done, last);
    EXPECT_GT(speed, 0);
    EXPECT_GE(left, 0);
    last = done;
    ++reports;
  }
  EXPECT_GE(reports, 1);
  EXPECT_EQ(last, 90) << "the last report is the whole";

  const vt::StudioRun estimate =
      vt::studio(dir_.string(), {"render", "song.wav", "e.mp4", "--for", "preview", "--estimate"});
  ASSERT_EQ(estimate.status, 0) << estimate.err;
  EXPECT_TRUE(std::regex_search(estimate.err,
                                std::regex("^vrax-studio: about [0-9][0-9a-z ]* on this machine for 90 frames at 640x360 "
                                           "\\([0-9]+\\.[0-9]{2}x real time\\); ")))
      << estimate.err;
  EXPECT_EQ(std::count(estimate.err.begin(), estimate.err.end(), '\n'), 1) << estimate.err;
  EXPECT_FALSE(fs::exists(dir_ / "e.mp4"));
  vt::expectRefusals(dir_.string(), {"render", "song.wav"},
                     {{{"e.png", "--estimate"}, 2, "--estimate is for a whole video written to a file"},
                      {{"e.mp4", "--estimate", "--part", "1/2"}, 2, "--estimate is for a whole video"}},
                     "e.mp4");
}

TEST(Serve, RefusesWhatItCannotServe) {
  const vt::StudioRun missing = vt::studio("/", {"serve", "/no/such/folder", "--port", "0"});
  EXPECT_EQ(missing.status, 2) << missing.err;
  EXPECT_NE(missing.err.find("/no/such/folder is not a folder"), std::string::npos) << missing.err;
  const vt::StudioRun port = vt::studio("/", {"serve", ".", "--port", "70000"});
  EXPECT_EQ(port.status, 2) << port.err;
  EXPECT_NE(port.err.find("--port"), std::string::npos) << port.err;
}

}  // namespace
