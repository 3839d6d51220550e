// show.cpp — see show.h.
#include "show/show.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>

#include "picture/shaderSource.h"

Show::Show(int soundRate) : analysis_(soundRate), picture_(std::make_unique<Picture>()) {
  times_.sampleRate = static_cast<double>(soundRate);
}

Show::~Show() = default;

Picture& Show::addPicture(std::unique_ptr<Picture> picture) {
  others_.push_back(std::move(picture));
  others_.back()->setTransparent(coverage_);
  return *others_.back();
}

bool Show::anyReads(bool (Picture::*reads)() const) const {
  return ((*picture_).*reads)() ||
         std::any_of(others_.begin(), others_.end(), [&](const auto& p) { return ((*p).*reads)(); });
}

Status Show::setBackdrop(const BackdropImages& images, bool transparent) {
  backdrop_ = std::make_unique<Backdrop>(images);
  coverage_ = transparent || !images.background.empty();
  for (size_t i = 0; i < pictureCount(); ++i) {
    picture(i).setTransparent(coverage_);
  }
  return backdrop_->status();
}

Status Show::setTitle(const std::string& text, const std::string& fontPath, const TitleLook& look,
                      TitleTiming timing, bool label) {
  titleIsLabel_ = label;
  titleText_ = text;
  fontPath_ = fontPath;
  look_ = look;
  timing_ = timing;
  titleWidth_ = titleHeight_ = 0;
  std::fill(std::begin(titleBox_), std::end(titleBox_), 0.0f);
  title_ = text.empty() ? nullptr : std::make_unique<Overlay>();
  return title_ ? title_->status() : Status();
}

void Show::setDate(const float date[4]) {
  std::memcpy(times_.date, date, sizeof times_.date);
}

void Show::setMouse(const float mouse[4]) {
  std::memcpy(times_.mouse, mouse, sizeof times_.mouse);
}

void Show::advance(const Tick& tick, FrameSound& sound, double heardAt) {
  showing_ = schedule_.active() ? schedule_.at(tick.beat, tick.seconds) : Showing{};
  const AudioInputs& inputs = analysis_.step(sound, heardAt);
  picture(showing_.from).setInputs(inputs);
  if (showing_.to != showing_.from) {
    picture(showing_.to).setInputs(inputs);
  }
  times_.seconds = tick.seconds;
  times_.delta = tick.delta;
  times_.frame = tick.frame;
  times_.rate = tick.rate;
  times_.progress = tick.progress;
  times_.beat = tick.beat;
  shownFor_ = tick.shownFor;
}

void Show::hold(const Tick& tick) {
  times_.seconds = tick.seconds;
  times_.delta = tick.delta;
  times_.rate = tick.rate;
  shownFor_ = tick.shownFor;
}

void Show::draw(int width, int height) {
  const float shown = title_ ? placeTitle(width, height) : 0.0f;
  Picture& from = picture(showing_.from);
  Picture& to = picture(showing_.to);
  from.setTitleBox(titleBox_, titleIsLabel_ ? 0.0f : shown);
  to.setTitleBox(titleBox_, titleIsLabel_ ? 0.0f : shown);
  if (&from == &to) {
    from.draw(width, height, times_);
  } else {
    if (!crossFade_) {
      crossFade_ = std::make_unique<CrossFade>();
    }
    // A crossfade the driver cannot draw shows the picture coming in.
    if (!crossFade_->draw(from, to, showing_.mix, coverage_, width, height, times_)) {
      to.draw(width, height, times_);
    }
  }
  if (backdrop_) {
    backdrop_->draw(width, height);
  }
  if (title_) {
    title_->draw(width, height, shown);
  }
  if (lyrics_) {
    const double at = lyricsLoop_ > 0 ? std::fmod(std::max(times_.seconds, 0.0), lyricsLoop_) : times_.seconds;
    bool changed = false;
    const Image& words = lyrics_->at(at, width, height, changed);
    if (changed) {
      words_->set(words, 0, 0);
    }
    words_->draw(width, height, 1.0f);
  }
}

void Show::setLyrics(std::unique_ptr<Lyrics> lyrics, double loop) {
  lyrics_ = std::move(lyrics);
  lyricsLoop_ = loop;
  words_ = lyrics_ ? std::make_unique<Overlay>() : nullptr;
}

// The title laid out for this size (once a size), where its words are, and
// how much of it shows now: it fades in with the show (at once without a
// fade-in) and, with a time to show for, goes after that long, fading out
// over a second.
float Show::placeTitle(int width, int height) {
  if (width != titleWidth_ || height != titleHeight_) {
    // A size the title does not fit (a window made small) shows the picture
    // without it; a render refuses such a size before it starts.
    const Result<TitleLayout> layout = layOutTitle(titleText_, fontPath_, width, height, look_);
    const Image none;
    const Image& image = layout ? layout.value().image : none;
    const int x = layout ? layout.value().x : 0;
    const int y = layout ? layout.value().y : 0;
    title_->set(image, x, y);
    const bool empty = image.width <= 0 || image.height <= 0;
    titleBox_[0] = empty ? 0.0f : static_cast<float>(x);
    titleBox_[1] = empty ? 0.0f : static_cast<float>(height - y - image.height);
    titleBox_[2] = empty ? 0.0f : static_cast<float>(x + image.width);
    titleBox_[3] = empty ? 0.0f : static_cast<float>(height - y);
    titleWidth_ = width;
    titleHeight_ = height;
  }
  const double in = timing_.fadeIn > 0 ? std::clamp(shownFor_ / timing_.fadeIn, 0.0, 1.0) : 1.0;
  const double out = timing_.titleFor > 0 ? std::clamp(timing_.titleFor + 1.0 - shownFor_, 0.0, 1.0) : 1.0;
  return titleBox_[3] > titleBox_[1] ? static_cast<float>(std::min(in, out)) : 0.0f;
}

void Show::restart() {
  analysis_.restart();
  for (size_t i = 0; i < pictureCount(); ++i) {
    picture(i).clearPrevious();
  }
}

Status Show::setImages(const std::vector<ImageSource>& images, const std::vector<std::string>& names) {
  for (size_t p = 0; p < pictureCount(); ++p) {
    for (size_t i = 0; i < images.size(); ++i) {
      if (const Status set = picture(p).setImage(static_cast<int>(i), images[i]); !set) {
        return Status::failure("--image " + (i < names.size() ? names[i] : std::to_string(i)) + ": " + set.why());
      }
    }
  }
  return Status();
}

Result<std::vector<std::string>> Show::addPictures(const std::vector<ListedPicture>& list,
                                                   const std::vector<ChannelSetting>& channels,
                                                   const PlaylistSettings& playlist, BrokenPicture broken,
                                                   const Notes& say) {
  std::vector<std::string> added;
  for (const ListedPicture& entry : list) {
    auto picture = std::make_unique<Picture>();
    picture->setSettings(entry.settings, say);
    if (Status built = buildPicture(*picture, entry.shaders, channels, say); !built) {
      if (broken == BrokenPicture::fails) {
        return built;
      }
      if (say) {
        say("--picture: " + entry.name + " does not build; skipped (" + built.why().substr(0, built.why().find('\n')) +
            ")");
      }
      continue;
    }
    addPicture(std::move(picture));
    added.push_back(entry.name);
  }
  setSchedule(PictureSchedule(pictureCount(), playlist));
  return added;
}

Status buildPicture(Picture& picture, const std::string& shaders, const std::vector<ChannelSetting>& channels,
                    const Notes& say) {
  const std::string dir = shaders.empty() ? defaultShaderDir() : shaders;
  if (dir.empty()) {
    return Status::failure(noShaderDirMessage());
  }
  const Result<ShaderSource> found = findShaderSource(dir);
  if (!found) {
    return found.status();
  }
  const ShaderSource& source = found.value();
  const Result<PictureSource> passes = readPictureSource(source, channels);
  if (!passes) {
    return passes.status();
  }
  if (const Status built = picture.build(passes.value(), say); !built) {
    // A driver's log ends its lines; a reason of ours is a line of its own too.
    const std::string why = built.why().empty() || built.why().back() == '\n' ? built.why() : built.why() + "\n";
    return Status::failure(why + (source.form == ShaderForm::Pair ? "the shader pair in " + dir + " does not build"
                                                                          : dir + " does not build"));
  }
  return Status();
}
