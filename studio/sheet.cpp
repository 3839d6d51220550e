// sheet.cpp — `pictures --sheet SONG OUT.png`: every gallery picture at
// three moments of the song (its quietest passage, an average one, the
// loudest) on one contact sheet, each cell named, so a look is chosen from
// one picture instead of a render per try.
//
// Which clock: the offline frame clock; each cell is the still a render
// with --from at that moment draws (the analysis and the picture's memory
// pre-rolled the same way, levelled the same way). Which output: a frame in
// memory a cell, laid into the sheet, written as a render writes a still.
// One GL context a picture, one thread.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "base/defaults.h"
#include "base/interrupt.h"
#include "base/runContext.h"
#include "base/progress.h"
#include "base/text.h"
#include "cli.h"
#include "pictures.h"
#include "picture/gallery.h"
#include "picture/title.h"
#include "plan.h"
#include "show/offlineShow.h"
#include "show/output.h"
#include "sound/moments.h"
#include "sound/soundStream.h"
#include "video/encoder.h"
#include "video/pendingFile.h"
#include "video/videoOutput.h"

namespace {

// One frame kept in memory: what a cell of the sheet is drawn into.
class FrameInMemory : public VideoOutput {
 public:
  explicit FrameInMemory(size_t bytes) : bytes_(bytes) {}
  bool spare(std::vector<uint8_t>& out) override {
    out.resize(bytes_);
    return true;
  }
  bool take(std::vector<uint8_t> pixels) override {
    pixels_ = std::move(pixels);
    return true;
  }
  Status finish() override { return pixels_.empty() ? Status::failure("no frame was drawn") : Status(); }
  const std::vector<uint8_t>& pixels() const { return pixels_; }

 private:
  size_t bytes_;
  std::vector<uint8_t> pixels_;
};

// Rows of pictures, a column a moment; RGBA rows bottom-up, as GL reads
// them and writePng takes them.
class Sheet {
 public:
  Sheet(int columns, int rows, int cellWidth, int cellHeight)
      : columns_(columns), rows_(rows), cellWidth_(cellWidth), cellHeight_(cellHeight),
        pixels_(static_cast<size_t>(width()) * height() * 4, 0) {
    for (size_t i = 3; i < pixels_.size(); i += 4) {
      pixels_[i] = 255;
    }
  }
  int width() const { return columns_ * cellWidth_; }
  int height() const { return rows_ * cellHeight_; }
  const uint8_t* data() const { return pixels_.data(); }
  // A cell's picture (bottom-up rows) at `row` from the top, `column` from the left.
  void place(int row, int column, const std::vector<uint8_t>& cell) {
    const size_t rowBytes = static_cast<size_t>(cellWidth_) * 4;
    for (int y = 0; y < cellHeight_; ++y) {
      const size_t to = (static_cast<size_t>((rows_ - 1 - row) * cellHeight_ + y) * width() + column * cellWidth_) * 4;
      std::memcpy(pixels_.data() + to, cell.data() + static_cast<size_t>(y) * rowBytes, rowBytes);
    }
  }

 private:
  int columns_;
  int rows_;
  int cellWidth_;
  int cellHeight_;
  std::vector<uint8_t> pixels_;
};

std::string clockText(double seconds) {
  char text[32];
  const int whole = static_cast<int>(seconds);
  std::snprintf(text, sizeof text, "%d:%02d", whole / 60, whole % 60);
  return text;
}

struct Moment {
  const char* name;
  double seconds;
};

// What every cell shares: the song's moments, its levelling, the font.
struct SheetPlan {
  std::vector<Moment> moments;
  double gain = 0;
  std::string fontPath;
};

// A render's options for one picture of the sheet at the cell's size.
RenderOptions cellOptions(const SheetOptions& o, const std::string& picture) {
  RenderOptions r;
  r.sound = o.song;
  r.output = o.output;
  r.picture = picture;
  r.width = o.cellWidth;
  r.height = o.cellHeight;
  r.fps = Rational{defaults::kVideoFps, 1};
  r.quiet = true;
  // The caption reads over the brightest cell: larger than a title's
  // default, on a dark plate.
  r.titleLook.size = 1.5;
  r.titleLook.plate = true;
  r.titleLook.plateOpacity = 0.75f;
  return r;
}

// One picture's cells, in its row; why it cannot be drawn.
Status drawRow(const SheetOptions& o, const GalleryEntry& entry, const SheetPlan& plan, Sheet& sheet, int row,
               const RunContext& run) {
  RenderOptions r = cellOptions(o, entry.name);
  if (const Status used = usePicture(r); !used) {
    return used;
  }
  Result<ShowInputs> inputs = loadShowInputs(r);
  Result<Song> song = inputs ? openSong(o.song) : Result<Song>(inputs.status());
  if (!song) {
    return song.status();
  }
  const FrameClock clock(r.fps, song.value().rate);
  const OfflineShowSettings settings = offlineShowSettings(r);
  OfflineShow show(settings, clock, inputs.value().images, say);
  if (const Status opened = show.open(song.value().file, std::move(inputs.value().settings)); !opened) {
    return opened;
  }
  show.setGain(plan.gain);
  const int64_t last = std::max<int64_t>(0, clock.framesFor(song.value().frames) - 1);
  for (size_t column = 0; column < plan.moments.size() && !run.stopping(); ++column) {
    const Moment& moment = plan.moments[column];
    const int64_t frame = std::clamp<int64_t>(std::llround(moment.seconds * r.fps.value()), 0, last);
    show.restart();
    const std::string label = entry.name + "  " + moment.name + " " + clockText(moment.seconds);
    const bool fits = static_cast<bool>(layOutTitle(label, plan.fontPath, r.width, r.height, r.titleLook));
    if (const Status titled = show.setTitle(fits ? label : "", plan.fontPath, frame, true); !titled) {
      return titled;
    }
    // As render's stills are analysed: each cell is that still.
    if (const Status rolled = show.preRoll(frame, show.readsWholeSong() ? 0 : frame); !rolled) {
      return rolled;
    }
    FrameInMemory kept(Readback::bytesFor(r.width, r.height));
    RenderedOutput drawn(kept, r.width, r.height);
    Progress silent(1, r.fps.value(), true);
    if (const Result<int64_t> played = show.play(frame, frame + 1, drawn, false, silent, run); !played) {
      return played.status();
    }
    if (const Status finished = kept.finish(); !finished) {
      return finished;
    }
    sheet.place(row, static_cast<int>(column), kept.pixels());
  }
  return Status();
}

// What is refused before anything is read: OUT must be a new .png (or
// --overwrite), never the song.
Status checkSheet(const SheetOptions& o) {
  if (!hasExtension(o.output, ".png")) {
    return Status::failure("a contact sheet is a .png (got " + quotedName(o.output) + ")");
  }
  if (sameFile(o.song, o.output)) {
    return Status::failure(o.output + " is the song; choose another OUT.png");
  }
  if (const Status sound = checkSoundPath(o.song); !sound) {
    return Status::failure("cannot read the sound " + o.song + ": " + sound.why());
  }
  return checkTarget(o.output, quotedName(o.output), "OUT.png", o.overwrite);
}

// The moments, the levelling and the font every cell shares; said in one line.
Result<SheetPlan> planSheet(const SheetOptions& o) {
  const Result<SongMoments> found = findMoments(o.song);
  if (!found) {
    return found.status();
  }
  const SongMoments& m = found.value();
  SheetPlan plan;
  plan.moments = {{"quiet", m.quiet}, {"average", m.average}, {"loudest", m.loudest}};
  const Result<double> gain = pictureGain(cellOptions(o, ""));
  const Result<std::string> font = findTitleFont("");
  if (!gain || !font) {
    return gain ? font.status() : gain.status();
  }
  plan.gain = gain.value();
  plan.fontPath = font.value();
  std::cout << "Moments of " << printable(o.song) << ":";
  for (const Moment& moment : plan.moments) {
    std::cout << " " << moment.name << " " << clockText(moment.seconds) << " (" << moment.seconds << " s)";
  }
  std::cout << std::endl;
  return plan;
}

}  // namespace

int runSheet(const SheetOptions& o) {
  catchInterrupts();
  const RunContext run;
  const auto start = std::chrono::steady_clock::now();
  if (const Status checked = checkSheet(o); !checked) {
    return report(kExitUsage, checked.why());
  }
  const std::vector<GalleryEntry> pictures = galleryPictures();
  if (pictures.empty()) {
    return report(kExitFailure, galleryProblem());
  }
  const Result<SheetPlan> plan = planSheet(o);
  if (!plan) {
    return report(kExitFailure, plan.why());
  }
  Sheet sheet(static_cast<int>(plan.value().moments.size()), static_cast<int>(pictures.size()), o.cellWidth,
              o.cellHeight);
  int drawn = 0;
  for (size_t row = 0; row < pictures.size() && !run.stopping(); ++row) {
    if (const Status done = drawRow(o, pictures[row], plan.value(), sheet, static_cast<int>(row), run); !done) {
      say("skipping the picture " + pictures[row].name + ": " + done.why().substr(0, done.why().find('\n')));
    } else {
      ++drawn;
    }
  }
  if (run.stopping()) {
    return report(kExitInterrupted, "interrupted; nothing written");
  }
  if (drawn == 0) {
    return report(kExitFailure, "no picture could be drawn; nothing written");
  }
  PendingFile file(o.output, o.overwrite);
  Status written = writePng(file.path(), sheet.data(), sheet.width(), sheet.height(), o.output);
  if (written) {
    written = file.commit();
  }
  if (!written) {
    return report(kExitFailure, written.why());
  }
  const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::cerr << "Wrote " << quotedName(o.output) << ": " << drawn << " pictures at three moments, " << sheet.width()
            << "x" << sheet.height() << ", in " << std::round(took * 10) / 10 << " s" << std::endl;
  return kExitDone;
}
