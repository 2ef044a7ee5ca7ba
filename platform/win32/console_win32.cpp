#include "platform/console.h"

namespace platform {

void AttachParentConsole() {}
bool IsInputTerminal() { return false; }
bool ReadInputLine(std::string& strLine) { strLine.clear(); return false; }
CEchoOff::CEchoOff() {}
CEchoOff::~CEchoOff() {}
void WriteErrorLine(const std::string&) {}
void WatchStopRequests(std::function<void()>) {}

}  // namespace platform
