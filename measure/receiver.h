#pragma once

namespace kv {

struct Window;

// The serial component's receive event: count it, show what came, decode it by the
// kind of the last request. Never sends, never shows a message.
void onComm(Window& w);

} // namespace kv
