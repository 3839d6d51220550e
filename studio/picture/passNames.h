// passNames.h — a pass's and a channel's names as people and the site spell
// them, shared by the readers of exports and folders and of channel settings.
// Private to picture/.
#pragma once

#include <string>

namespace passNames {

std::string lowered(std::string text);
// "Buffer A", "buf_a", "BUFFER-A" → "buffer-a"; "image", "common", "sound";
// "" for a name that is none of the site's passes.
std::string canonicalPass(const std::string& text);
// 0-3 for "buffer-a" to "buffer-d", else -1.
int bufferOfPass(const std::string& name);
// "Image's iChannel2": where a channel is, for messages.
std::string channelPlace(const std::string& pass, int channel);

}  // namespace passNames
