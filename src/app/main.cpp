// TaveloIAP: the console program on the platform's own HID host. Command-line arguments are ignored.
#include "app/app_main.h"
#include "platform/os.h"

int main() {
    PlatformRestrictLibrarySearch();
    return TaveloIapMain();
}
