#include "picture/lyrics.h"

extern "C" {
#include <ass/ass.h>
}

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <regex>
#include <sstream>
#include <vector>

namespace {

struct Line {
  double start = 0;
  double end = 0;
  std::string text;  // ASS text: escaped, with karaoke and style tags
  size_t source = 0;  // its line in the file, for messages
};

std::string trimmed(std::string s) {
  while (!s.empty() && (s.back() == '\r' || std::isspace(static_cast<unsigned char>(s.back())))) {
    s.pop_back();
  }
  size_t from = 0;
  while (from < s.size() && std::isspace(static_cast<unsigned char>(s[from]))) {
    ++from;
  }
  return s.substr(from);
}

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? text.substr(3) : text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    lines.push_back(line);
  }
  return lines;
}

// Braces and backslashes would be ASS's own tags; a line break is \N.
std::string assText(const std::string& plain) {
  std::string out;
  for (char c : plain) {
    if (c == '{' || c == '}') {
      out += c == '{' ? "(" : ")";
    } else if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\N";
    } else {
      out += c;
    }
  }
  return out;
}

// "mm:ss.xx", "mm:ss", "h:mm:ss.xxx" (or with a comma) in seconds; -1 when not a time.
double timeOf(const std::string& s, bool hoursFirst) {
  int a = 0, b = 0, c = 0, used = 0;
  double fraction = 0;
  std::string t = s;
  std::replace(t.begin(), t.end(), ',', '.');
  const size_t dot = t.find('.');
  if (dot != std::string::npos) {
    const std::string digits = t.substr(dot + 1);
    if (digits.empty() || digits.size() > 3 ||
        !std::all_of(digits.begin(), digits.end(), [](char d) { return std::isdigit(static_cast<unsigned char>(d)); })) {
      return -1;
    }
    fraction = std::stod("0." + digits);
    t = t.substr(0, dot);
  }
  if (std::sscanf(t.c_str(), "%d:%d:%d%n", &a, &b, &c, &used) == 3 && used == static_cast<int>(t.size())) {
    return b < 60 && c < 60 && a >= 0 && b >= 0 && c >= 0 ? a * 3600.0 + b * 60.0 + c + fraction : -1;
  }
  if (!hoursFirst && std::sscanf(t.c_str(), "%d:%d%n", &a, &b, &used) == 2 && used == static_cast<int>(t.size())) {
    return b < 60 && a >= 0 && b >= 0 ? a * 60.0 + b + fraction : -1;
  }
  return -1;
}

std::string refused(const std::string& name, size_t line, const std::string& why) {
  return name + ":" + std::to_string(line + 1) + ": " + why;
}

// One LRC line's text with its word times `<mm:ss.xx>` as karaoke (\kf,
// centiseconds each word takes to sing), from the line's start.
Result<std::string> lrcWords(const std::string& text, double start, double end, const std::string& name, size_t n) {
  std::string out;
  double at = start;
  std::string word;
  bool timed = false;
  const auto flush = [&](double until) {
    if (!word.empty() || timed) {
      const int cs = std::max(0, static_cast<int>(std::lround((until - at) * 100)));
      out += "{\\kf" + std::to_string(cs) + "}" + assText(word);
    }
    word.clear();
  };
  for (size_t i = 0; i < text.size();) {
    if (text[i] == '<') {
      const size_t close = text.find('>', i);
      const double t = close == std::string::npos ? -1 : timeOf(text.substr(i + 1, close - i - 1), false);
      if (t < 0) {
        return Status::failure(refused(name, n, "not a word time: " + text.substr(i, close == std::string::npos ? 12 : close - i + 1)));
      }
      // What came before the first word time is sung from the line's start.
      if (timed || !word.empty()) {
        flush(t);
      }
      at = t;
      timed = true;
      i = close + 1;
      continue;
    }
    word += text[i++];
  }
  if (!timed) {
    return assText(text);
  }
  flush(std::min(end, at + 1.0));
  return out;
}

Result<std::vector<Line>> readLrc(const std::string& name, const std::vector<std::string>& lines) {
  std::vector<Line> out;
  double offset = 0;
  for (size_t n = 0; n < lines.size(); ++n) {
    std::string line = trimmed(lines[n]);
    if (line.empty()) {
      continue;
    }
    if (line[0] != '[') {
      return Status::failure(refused(name, n, "a line without a time: \"" + line.substr(0, 40) + "\""));
    }
    std::vector<double> times;
    while (!line.empty() && line[0] == '[') {
      const size_t close = line.find(']');
      if (close == std::string::npos) {
        return Status::failure(refused(name, n, "a [ without its ]"));
      }
      const std::string tag = line.substr(1, close - 1);
      const double t = timeOf(tag, false);
      if (t >= 0) {
        times.push_back(t);
      } else if (!tag.empty() && std::isdigit(static_cast<unsigned char>(tag[0]))) {
        return Status::failure(refused(name, n, "not a time: [" + tag + "]"));
      } else if (tag.compare(0, 7, "offset:") == 0) {
        offset = std::atof(tag.c_str() + 7) / 1000.0;  // + shows the words sooner
      }
      line = line.substr(close + 1);
    }
    for (double t : times) {
      out.push_back(Line{t - offset, 0, line, n});
    }
  }
  std::stable_sort(out.begin(), out.end(), [](const Line& a, const Line& b) { return a.start < b.start; });
  for (size_t k = 0; k < out.size(); ++k) {
    const double next = k + 1 < out.size() ? out[k + 1].start : out[k].start + kLongestLine;
    out[k].end = std::min(next, out[k].start + kLongestLine);
  }
  return out;
}

// A cue's text for ASS: italic and bold as ASS tags; other markup
// (<v Name>, <c.x>, <font>) dropped.
std::string cueText(const std::string& text) {
  std::string styled;
  for (size_t i = 0; i < text.size();) {
    if (text[i] == '<') {
      const size_t close = text.find('>', i);
      if (close != std::string::npos) {
        const std::string tag = text.substr(i + 1, close - i - 1);
        styled += tag == "i" ? "{\\i1}" : tag == "/i" ? "{\\i0}" : tag == "b" ? "{\\b1}" : tag == "/b" ? "{\\b0}" : "";
        i = close + 1;
        continue;
      }
    }
    styled += assText(std::string(1, text[i++]));
  }
  return styled;
}

// SRT and WebVTT: cues of "start --> end" and their lines of text.
Result<std::vector<Line>> readCues(const std::string& name, const std::vector<std::string>& lines, bool vtt) {
  std::vector<Line> out;
  size_t n = 0;
  if (vtt) {
    if (lines.empty() || trimmed(lines[0]).compare(0, 6, "WEBVTT") != 0) {
      return Status::failure(refused(name, 0, "a WebVTT file starts with WEBVTT"));
    }
    n = 1;
  }
  while (n < lines.size()) {
    if (trimmed(lines[n]).empty()) {
      ++n;
      continue;
    }
    if (vtt && (lines[n].compare(0, 4, "NOTE") == 0 || lines[n].compare(0, 5, "STYLE") == 0 ||
                lines[n].compare(0, 6, "REGION") == 0)) {
      while (n < lines.size() && !trimmed(lines[n]).empty()) {
        ++n;
      }
      continue;
    }
    // An identifier (SRT's number) before the times.
    if (lines[n].find("-->") == std::string::npos) {
      ++n;
    }
    if (n >= lines.size() || lines[n].find("-->") == std::string::npos) {
      return Status::failure(refused(name, n - 1, "a cue without its \"start --> end\" times"));
    }
    const std::string timing = lines[n];
    const size_t arrow = timing.find("-->");
    std::istringstream rest(timing.substr(arrow + 3));
    std::string endText;
    rest >> endText;
    const double start = timeOf(trimmed(timing.substr(0, arrow)), !vtt);
    const double end = timeOf(endText, !vtt);
    if (start < 0 || end < 0) {
      return Status::failure(refused(name, n, "not a time: \"" + timing + "\""));
    }
    std::string text;
    for (++n; n < lines.size() && !trimmed(lines[n]).empty(); ++n) {
      text += (text.empty() ? "" : "\n") + lines[n];
    }
    out.push_back(Line{start, std::max(start, end), cueText(text), n});
  }
  std::stable_sort(out.begin(), out.end(), [](const Line& a, const Line& b) { return a.start < b.start; });
  return out;
}

std::string assTime(double seconds) {
  const long cs = std::lround(std::max(0.0, seconds) * 100);
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld:%02ld.%02ld", cs / 360000, cs / 6000 % 60, cs / 100 % 60, cs % 100);
  return text;
}

// A Dialogue line needs its nine fields before the text, the times readable.
Status checkAss(const std::string& name, const std::vector<std::string>& lines) {
  bool events = false;
  for (size_t n = 0; n < lines.size(); ++n) {
    const std::string line = trimmed(lines[n]);
    if (line.compare(0, 9, "Dialogue:") != 0) {
      events = events || line == "[Events]";
      continue;
    }
    std::vector<std::string> fields;
    std::string rest = line.substr(9);
    for (int f = 0; f < 9; ++f) {
      const size_t comma = rest.find(',');
      if (comma == std::string::npos) {
        return Status::failure(refused(name, n, "a Dialogue line with fewer than ten fields"));
      }
      fields.push_back(trimmed(rest.substr(0, comma)));
      rest = rest.substr(comma + 1);
    }
    if (timeOf(fields[1], true) < 0 || timeOf(fields[2], true) < 0) {
      return Status::failure(refused(name, n, "not a time: \"" + fields[1] + "\" or \"" + fields[2] + "\""));
    }
  }
  if (!events) {
    return Status::failure(name + ": no [Events] section: not an ASS or SSA script");
  }
  return Status();
}

// The head of a script for converted lines: one style for every shape,
// sized from the shorter side, kept inside the title's margins, outlined and
// shadowed to read over anything.
std::string scriptHead(int width, int height, LyricsPlace place) {
  const int shorter = std::min(width, height);
  const int size = std::max(12, static_cast<int>(std::lround(shorter * 0.065)));
  const int marginX = static_cast<int>(std::lround(width * 0.08));
  const int marginY = static_cast<int>(std::lround(height * 0.08));
  const int alignment = place == LyricsPlace::Bottom ? 2 : 8;
  char style[512];
  // Sung words white, those still to come a soft grey (karaoke's secondary).
  std::snprintf(style, sizeof style,
                "Style: Lyrics,sans-serif,%d,&H00FFFFFF,&H00A8A8A8,&H00000000,&H96000000,-1,0,0,0,100,100,0,0,1,%.1f,%.1f,"
                "%d,%d,%d,%d,1\n",
                size, std::max(1.0, size * 0.08), std::max(1.0, size * 0.05), alignment, marginX, marginX, marginY);
  return "[Script Info]\nScriptType: v4.00+\nWrapStyle: 0\nScaledBorderAndShadow: yes\nPlayResX: " +
         std::to_string(width) + "\nPlayResY: " + std::to_string(height) +
         "\n\n[V4+ Styles]\nFormat: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, "
         "BackColour, Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, "
         "Shadow, Alignment, MarginL, MarginR, MarginV, Encoding\n" +
         style + "\n[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n";
}

}  // namespace

Result<std::string> lyricsScript(const std::string& name, const std::string& text, int width, int height,
                                 LyricsPlace place) {
  const std::vector<std::string> lines = linesOf(text);
  const auto ends = [&](const char* extension) {
    const std::string e = extension;
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    return lower.size() >= e.size() && lower.compare(lower.size() - e.size(), e.size(), e) == 0;
  };
  if (ends(".ass") || ends(".ssa") || text.find("[Script Info]") != std::string::npos) {
    if (const Status checked = checkAss(name, lines); !checked) {
      return checked;
    }
    return text;
  }
  // By the name, else by the text (lyrics from tags have no name to go by).
  const bool vtt = ends(".vtt") || (!ends(".lrc") && !ends(".srt") && text.compare(0, 6, "WEBVTT") == 0);
  const bool srt = !vtt && (ends(".srt") || (!ends(".lrc") && text.find("-->") != std::string::npos));
  const bool lrc = !vtt && !srt;
  Result<std::vector<Line>> read = lrc ? readLrc(name, lines) : readCues(name, lines, vtt);
  if (!read) {
    return read.status();
  }
  std::string script = scriptHead(width, height, place);
  for (const Line& line : read.value()) {
    std::string words = line.text;
    if (lrc) {
      const Result<std::string> sung = lrcWords(line.text, line.start, line.end, name, line.source);
      if (!sung) {
        return sung.status();
      }
      words = sung.value();
    }
    script += "Dialogue: 0," + assTime(line.start) + "," + assTime(line.end) + ",Lyrics,,0,0,0,," + words + "\n";
  }
  return script;
}

Result<std::string> lyricsFromTags(const std::string& song, const std::map<std::string, std::string>& tags) {
  for (const auto& [key, value] : tags) {
    std::string lower = key;
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    if (lower.compare(0, 6, "lyrics") != 0 && lower != "unsyncedlyrics") {
      continue;
    }
    const bool timed = value.find("[0") != std::string::npos || value.find("[1") != std::string::npos ||
                       value.find("-->") != std::string::npos;
    if (!timed) {
      return Status::failure("the lyrics in " + song +
                             "'s tags have no times, so they cannot be shown as they are sung; give timed lyrics "
                             "(.lrc, .srt) with --lyrics FILE");
    }
    if (value.size() > kMaxLyricsBytes) {
      return Status::failure("the lyrics in " + song + "'s tags are larger than 4 MB, too large for lyrics");
    }
    return value;
  }
  return Status::failure(song + " has no lyrics in its tags; give them with --lyrics FILE");
}

struct Lyrics::Libass {
  ASS_Library* library = nullptr;
  ASS_Renderer* renderer = nullptr;
  ASS_Track* track = nullptr;
  int width = 0, height = 0;
  ~Libass() {
    if (track) {
      ass_free_track(track);
    }
    if (renderer) {
      ass_renderer_done(renderer);
    }
    if (library) {
      ass_library_done(library);
    }
  }
};

namespace {
// libass's own messages are its business; the command says what failed.
void quiet(int, const char*, va_list, void*) {}

// The most an override tag may ask, for a script `high` units tall: a line
// no taller than the frame, outlines and shadows a tenth of it, blur that
// a frame's worth of pixels can afford.
double tagLimit(const std::string& tag, double high) {
  if (tag == "fs" || tag == "fsp") {
    return high;
  }
  if (tag == "fscx" || tag == "fscy") {
    return 400;  // percent
  }
  if (tag == "blur" || tag == "be") {
    return 20;
  }
  return high / 10;  // bord, xbord, ybord, shad, xshad, yshad
}

std::string clampTags(const char* text, double high) {
  static const std::regex tag(R"(\\(fscx|fscy|fsp|fs|xbord|ybord|bord|xshad|yshad|shad|blur|be)(-?[0-9]*\.?[0-9]+(?:[eE][-+]?[0-9]+)?))");
  const std::string in = text;
  std::string out;
  auto from = in.cbegin();
  for (std::sregex_iterator it(in.begin(), in.end(), tag), end; it != end; ++it) {
    const std::smatch& m = *it;
    out.append(from, m[0].first);
    const double limit = tagLimit(m[1].str(), high);
    const double asked = std::strtod(m[2].str().c_str(), nullptr);
    char value[32];
    std::snprintf(value, sizeof value, "%g", std::isfinite(asked) ? std::clamp(asked, -limit, limit) : 0.0);
    out += "\\" + m[1].str() + value;
    from = m[0].second;
  }
  out.append(from, in.cend());
  return out;
}

// Lines beyond kMaxLinesAtOnce at any moment go, the earliest-starting kept.
void thinOverlaps(ASS_Track* track) {
  std::vector<int> order(static_cast<size_t>(track->n_events));
  for (size_t i = 0; i < order.size(); ++i) {
    order[i] = static_cast<int>(i);
  }
  std::stable_sort(order.begin(), order.end(),
                   [track](int a, int b) { return track->events[a].Start < track->events[b].Start; });
  std::vector<long long> endsShowing;  // a min-heap of the kept lines' ends
  std::vector<bool> drop(order.size(), false);
  for (const int e : order) {
    const ASS_Event& event = track->events[e];
    while (!endsShowing.empty() && endsShowing.front() <= event.Start) {
      std::pop_heap(endsShowing.begin(), endsShowing.end(), std::greater<>());
      endsShowing.pop_back();
    }
    if (static_cast<int>(endsShowing.size()) >= kMaxLinesAtOnce) {
      drop[static_cast<size_t>(e)] = true;
      continue;
    }
    endsShowing.push_back(event.Start + event.Duration);
    std::push_heap(endsShowing.begin(), endsShowing.end(), std::greater<>());
  }
  for (int e = track->n_events - 1; e >= 0; --e) {
    if (drop[static_cast<size_t>(e)]) {
      ass_free_event(track, e);
      std::move(track->events + e + 1, track->events + track->n_events, track->events + e);
      --track->n_events;
    }
  }
}

// What the script asks for, held to what its frame can show.
void tame(ASS_Track* track) {
  const double high = track->PlayResY > 0 ? track->PlayResY : 288;  // libass's default height
  for (int i = 0; i < track->n_styles; ++i) {
    ASS_Style& style = track->styles[i];
    style.FontSize = std::clamp(style.FontSize, 0.0, high);
    style.Outline = std::clamp(style.Outline, 0.0, high / 10);
    style.Shadow = std::clamp(style.Shadow, -high / 10, high / 10);
    style.Blur = std::clamp(style.Blur, 0.0, 20.0);
    style.ScaleX = std::clamp(style.ScaleX, 0.0, 4.0);
    style.ScaleY = std::clamp(style.ScaleY, 0.0, 4.0);
    style.Spacing = std::clamp(style.Spacing, -high, high);
  }
  for (int i = 0; i < track->n_events; ++i) {
    ASS_Event& event = track->events[i];
    if (event.Text != nullptr && std::strchr(event.Text, '\\') != nullptr) {
      const std::string clamped = clampTags(event.Text, high);
      char* copy = strdup(clamped.c_str());
      if (copy != nullptr) {
        free(event.Text);
        event.Text = copy;
      }
    }
  }
  thinOverlaps(track);
}

}  // namespace

Result<std::unique_ptr<Lyrics>> Lyrics::open(const std::string& script, const std::string& fontPath) {
  std::unique_ptr<Lyrics> lyrics(new Lyrics());
  auto ass = std::make_unique<Libass>();
  ass->library = ass_library_init();
  if (!ass->library) {
    return Status::failure("cannot start libass to draw the lyrics");
  }
  ass_set_message_cb(ass->library, quiet, nullptr);
  ass->renderer = ass_renderer_init(ass->library);
  if (!ass->renderer) {
    return Status::failure("cannot start libass to draw the lyrics");
  }
  ass_set_fonts(ass->renderer, fontPath.empty() ? nullptr : fontPath.c_str(), "sans-serif",
                ASS_FONTPROVIDER_AUTODETECT, nullptr, 1);
  std::string copy = script;
  ass->track = ass_read_memory(ass->library, copy.data(), copy.size(), nullptr);
  if (!ass->track) {
    return Status::failure("libass cannot read the lyrics");
  }
  if (ass->track->n_events > kMaxLyricsLines) {
    return Status::failure("the lyrics hold " + std::to_string(ass->track->n_events) + " lines; at most " +
                           std::to_string(kMaxLyricsLines) + " are drawn");
  }
  tame(ass->track);
  // Glyphs and bitmaps libass keeps between frames: enough for a song's lines.
  ass_set_cache_limits(ass->renderer, 2000, 64);
  lyrics->ass_ = std::move(ass);
  return lyrics;
}

Lyrics::~Lyrics() = default;

const Image& Lyrics::at(double seconds, int width, int height, bool& changed) {
  if (ass_->width != width || ass_->height != height) {
    ass_set_frame_size(ass_->renderer, width, height);
    ass_set_storage_size(ass_->renderer, width, height);
    ass_->width = width;
    ass_->height = height;
    image_ = Image{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * height * 4, 0)};
    changed = true;
  } else {
    changed = false;
  }
  int change = 0;
  const ASS_Image* images =
      ass_render_frame(ass_->renderer, ass_->track, static_cast<long long>(std::llround(seconds * 1000)), &change);
  if (change == 0 && !changed) {
    return image_;
  }
  changed = true;
  std::fill(image_.rgba.begin(), image_.rgba.end(), 0);
  // Each bitmap laid over those before it (shadows, then outlines, then the
  // letters), premultiplied.
  for (const ASS_Image* i = images; i; i = i->next) {
    const float r = (i->color >> 24 & 0xFF) / 255.0f, g = (i->color >> 16 & 0xFF) / 255.0f,
                b = (i->color >> 8 & 0xFF) / 255.0f, opacity = (255 - (i->color & 0xFF)) / 255.0f;
    for (int y = 0; y < i->h; ++y) {
      const int py = i->dst_y + y;
      if (py < 0 || py >= height) {
        continue;
      }
      for (int x = 0; x < i->w; ++x) {
        const int px = i->dst_x + x;
        const float a = i->bitmap[y * i->stride + x] / 255.0f * opacity;
        if (px < 0 || px >= width || a <= 0) {
          continue;
        }
        uint8_t* p = &image_.rgba[(static_cast<size_t>(py) * width + px) * 4];
        const float keep = 1 - a;
        p[0] = static_cast<uint8_t>(std::lround(r * a * 255 + p[0] * keep));
        p[1] = static_cast<uint8_t>(std::lround(g * a * 255 + p[1] * keep));
        p[2] = static_cast<uint8_t>(std::lround(b * a * 255 + p[2] * keep));
        p[3] = static_cast<uint8_t>(std::lround(a * 255 + p[3] * keep));
      }
    }
  }
  return image_;
}
