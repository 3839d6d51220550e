// passes.cpp — see passes.h.
#include "picture/passes.h"

Channel siteDefaults(ChannelKind kind, int index) {
  Channel c;
  c.kind = kind;
  c.index = index;
  switch (kind) {
    case ChannelKind::Music:  // 4,693 of 4,699 sound inputs in the site's exports
    case ChannelKind::Buffer:
      c.filter = ChannelFilter::Linear;
      break;
    case ChannelKind::Keyboard:
    case ChannelKind::None:
    case ChannelKind::Black:
      c.filter = ChannelFilter::Nearest;
      break;
    case ChannelKind::Noise:
      c.repeat = true;
      break;
    default:
      break;
  }
  return c;
}

const char* channelType(ChannelKind kind) {
  return kind == ChannelKind::Cube ? "samplerCube" : kind == ChannelKind::Volume ? "sampler3D" : "sampler2D";
}

std::string passName(int buffer) {
  return buffer < 0 ? "image" : "buffer-" + std::string(1, static_cast<char>('a' + buffer));
}
