// onScreen.h — what `play` shows: a picture's files built into the
// picture, rebuilt on every save, and the gallery stepped through.
//
// A picture that does not build at start still shows (plainly, until a
// good save); one stepped to that does not build is skipped with a line.
// What is said goes through PlayNotes: the command decides where.
//
// Threading: the play loop's thread (the GL context's).
#pragma once

#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/status.h"
#include "picture/gallery.h"
#include "picture/multipass.h"
#include "picture/picture.h"
#include "picture/settings.h"
#include "picture/shaderSource.h"
#include "picture/watcher.h"

// Where play's pictures speak: `told`, a line for standard output (Built,
// Reloaded, Showing); `warned`, a problem for standard error; `log`, a
// driver's log as it came (lines already ended).
struct PlayNotes {
  Notes told;
  Notes warned;
  Notes log;
};

// What play was asked to start with.
struct FirstPicture {
  std::string picture;  // --picture
  std::string shaders;  // --shaders
  std::vector<ChannelSetting> channelSettings;
  std::string palette;  // --palette, for every picture stepped to as well
};

namespace onscreen_detail {
using Clock = std::chrono::steady_clock;
inline std::string msText(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", std::round(ms * 10) / 10);
  return text;
}
}  // namespace onscreen_detail

// The shaders as last saved (a pair or Shadertoy's passes): built into the
// picture when they build, reported once when they do not.
class WatchedShaders {
  using Clock = onscreen_detail::Clock;
  static std::string msText(double ms) { return onscreen_detail::msText(ms); }

 public:
  WatchedShaders(ShaderSource source, std::vector<ChannelSetting> settings, const PlayNotes& notes)
      : source_(std::move(source)), settings_(std::move(settings)), dir_(source_.folder), notes_(notes) {}

  // Rebuilds from the files; `changed` names the file that was saved.
  // True when a new program was built.
  bool reload(Picture& picture, const std::string& changed, bool atStart) {
    const auto start = Clock::now();
    const Result<PictureSource> passes = readPictureSource(source_, settings_);
    if (!passes) {
      // Mid-save a file may be missing for a moment; only a lasting
      // problem is worth a line, and only once.
      unreadableSince_ = unreadableSince_.value_or(Clock::now());
      unreadable_ = passes.why();
      if (atStart) {
        reportOnce(passes.why());
      }
      return false;
    }
    unreadableSince_.reset();
    reported_.clear();
    const Status built = picture.build(passes.value(), notes_.warned);
    if (built) {
      const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
      if (atStart) {
        notes_.told("Built " + (source_.file.empty() ? dir_ : source_.file) + " in " + msText(ms) + " ms");
      } else {
        notes_.told("Reloaded " + changed + " in " + msText(ms) + " ms");
      }
      stale_ = false;
      return true;
    }
    notes_.log(built.why());
    notes_.warned(picture.hasProgram() ? "keeping the last good picture until the next save"
                                       : "drawing a plain picture until the next good save");
    stale_ = true;
    return false;
  }
  // A file that stays unreadable is reported once.
  void check() {
    if (unreadableSince_ && Clock::now() - *unreadableSince_ > std::chrono::seconds(1)) {
      reportOnce(unreadable_);
    }
  }
  bool stale() const { return stale_ || unreadableSince_.has_value(); }
  bool retrying() const { return unreadableSince_.has_value(); }

 private:
  void reportOnce(const std::string& error) {
    if (reported_ != error) {
      notes_.warned(error);
      reported_ = error;
    }
  }
  ShaderSource source_;
  std::vector<ChannelSetting> settings_;
  std::string dir_;
  std::string unreadable_;
  std::string reported_;
  std::optional<Clock::time_point> unreadableSince_;
  bool stale_ = false;
  PlayNotes notes_;
};

// What is on screen: a picture's files, the watcher of their saves and, in
// Shadertoy's form, its inputs. Stepping through the gallery makes a new one.
class OnScreen {
 public:
  // At start a pair that does not build still shows (plainly, until a good
  // save); when stepping, one that does not build is not shown: refused with why.
  static Result<std::unique_ptr<OnScreen>> open(const std::string& path, const std::string& name,
                                                Picture& picture, const std::vector<ChannelSetting>& settings,
                                                bool atStart, const PlayNotes& notes) {
    const Result<ShaderSource> found = findShaderSource(path);
    if (!found) {
      return found.status();
    }
    const ShaderSource& source = found.value();
    auto shown = std::unique_ptr<OnScreen>(new OnScreen(source, settings, name, notes));
    if (atStart) {
      shown->shaders_.reload(picture, "", true);
    } else {
      const Result<PictureSource> passes = readPictureSource(source, settings);
      const Status built = passes ? picture.build(passes.value(), notes.warned) : passes.status();
      if (!built) {
        return built;
      }
    }
    if (!shown->watcher_.watching()) {
      notes.warned("cannot watch " + source.folder + " for saves (" + shown->watcher_.watching().why() +
          "); reload is off, the shaders are read once");
    }
    return shown;
  }
  // Rebuilds after a save.
  void poll(Picture& picture) {
    std::string changed;
    if (watcher_.poll(changed) || shaders_.retrying()) {
      shaders_.reload(picture, changed, false);
    }
    shaders_.check();
  }
  bool stale() const { return shaders_.stale(); }
  const std::string& name() const { return name_; }

 private:
  OnScreen(const ShaderSource& source, const std::vector<ChannelSetting>& settings, std::string name,
           const PlayNotes& notes)
      : name_(std::move(name)), shaders_(source, settings, notes), watcher_(source.folder, source.names) {}
  std::string name_;
  WatchedShaders shaders_;
  ShaderWatcher watcher_;
};

// The gallery as play steps through it: the current picture's place, and
// the next one in a direction that builds.
class GalleryCursor {
 public:
  GalleryCursor(std::vector<GalleryEntry> all, const std::string& current, PlayNotes notes,
                std::string palette = "")
      : all_(std::move(all)), notes_(std::move(notes)), palette_(std::move(palette)) {
    for (size_t i = 0; i < all_.size(); ++i) {
      if (all_[i].name == current) {
        at_ = static_cast<int>(i);
      }
    }
  }
  bool empty() const { return all_.empty(); }
  // Shows the next picture in direction step (+1 or -1) that builds; each
  // one that does not is skipped with a line saying why.
  std::unique_ptr<OnScreen> step(int direction, Picture& picture) {
    const int count = static_cast<int>(all_.size());
    for (int tries = 0; tries < count; ++tries) {
      at_ = ((at_ + direction) % count + count) % count;
      if (std::unique_ptr<OnScreen> shown = showHere(picture)) {
        return shown;
      }
    }
    return nullptr;
  }
  // Shows the picture called name; nothing (said why) when there is none or it does not build.
  std::unique_ptr<OnScreen> jump(const std::string& name, Picture& picture) {
    for (size_t i = 0; i < all_.size(); ++i) {
      if (all_[i].name == name) {
        at_ = static_cast<int>(i);
        return showHere(picture);
      }
    }
    notes_.warned("there is no picture called \"" + name + "\" in the gallery");
    return nullptr;
  }

 private:
  // The picture at at_, built with its own settings' defaults; a line why not.
  std::unique_ptr<OnScreen> showHere(Picture& picture) {
    Result<std::unique_ptr<OnScreen>> shown = OnScreen::open(all_[at_].path, all_[at_].name, picture, {}, false, notes_);
    if (!shown) {
      const std::string first = shown.why().substr(0, shown.why().find('\n'));
      notes_.warned("skipping the picture " + all_[at_].name + ": " + first);
      return nullptr;
    }
    Result<std::vector<Setting>> settings = readSettings(all_[at_].path);
    if (settings && !palette_.empty()) {
      settings = applyPalette(std::move(settings.value()), palette_);
    }
    picture.setSettings(settings ? settings.value() : std::vector<Setting>{}, notes_.warned);
    notes_.told("Showing " + all_[at_].name + ": " + all_[at_].about);
    return std::move(shown.value());
  }

  std::vector<GalleryEntry> all_;
  int at_ = -1;
  PlayNotes notes_;
  std::string palette_;
};

// The picture play starts with: --picture by name, --shaders, or the shipped pair.
Result<std::unique_ptr<OnScreen>> openFirstPicture(const FirstPicture& o, Picture& picture, const PlayNotes& notes);

// The picture play shows from start to end: the first one, rebuilt on its
// saves, and the gallery's steps and jumps (not with --shaders, which
// leaves the gallery out). A new picture starts without the frame before.
class ShownPicture {
 public:
  ShownPicture(FirstPicture first, PlayNotes notes);
  // The first picture built into `picture`; why not.
  Status open(Picture& picture);
  // Rebuilds after a save.
  void poll(Picture& picture) { shown_->poll(picture); }
  // The next (+1) or previous (−1) picture of the gallery that builds, or
  // the one called `name`; true when the picture changed. What stops it is said.
  bool step(int direction, Picture& picture);
  bool jump(const std::string& name, Picture& picture);
  bool stale() const { return shown_->stale(); }
  const std::string& name() const { return shown_->name(); }

 private:
  bool show(std::unique_ptr<OnScreen> next, Picture& picture);

  FirstPicture first_;
  PlayNotes notes_;
  GalleryCursor gallery_;
  std::unique_ptr<OnScreen> shown_;
};
