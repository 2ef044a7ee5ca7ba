#include "platform/console.h"
#include "ui/application.h"
#include "ui/console_host.h"

namespace ui {

// Until the Win32 dialog host exists, every Windows program runs in the
// console it was started from.
std::unique_ptr<CDialogHost> CreateHost(bool /*bForceConsole*/) {
    platform::AttachParentConsole();
    return std::make_unique<CConsoleHost>();
}

}  // namespace ui
