// taveloiap-cipher: encodes, decodes, shows and checks McuCipherFiles with the firmware module.
#include "cli/cipher_subcommand.h"
#include "platform/os.h"

int main(int argc, char** argv) {
    PlatformRestrictLibrarySearch();
    PlatformConsoleInit();
    return RunCipherTool(argc, argv);
}
