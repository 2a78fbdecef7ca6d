#pragma once
// Start-up, port choice and "保存设置": the life of the serial connection.

namespace kv {

struct Window;

// Runs once when the window loads, before the operator can act.
void startUp(Window& w);
// A selection in the port list, by the operator or by start-up.
void portChoice(Window& w);
// Click on "保存设置".
void saveSettings(Window& w);
// After an open: receive events from the first byte on, binary input.
void OpenOnComm(Window& w);

} // namespace kv
