// The one list of the tool's subcommands, in the order --help shows them.
#include "cli/cipher_subcommand.h"

const CipherSubcommand kCipherSubcommands[] = {
    {"encode", "PLAIN CIPHER", 2, 2,
     "scramble the plain firmware image PLAIN (1 to 262144 bytes; an empty or larger image is refused) into "
     "the McuCipherFile CIPHER",
     RunEncodeSubcommand},
    {"decode", "CIPHER CLEAR", 2, 2, "descramble the McuCipherFile CIPHER into the plain copy CLEAR",
     RunDecodeSubcommand},
    {"info", "CIPHER", 1, 1,
     "show the header of CIPHER, its size and the whole-file check; exit status 0 only for a sound file",
     RunInfoSubcommand},
    {"verify", "CIPHER", 1, 1, "check CIPHER whole (layout and CRC); exit status 0 only for a sound file",
     RunVerifySubcommand},
    {"hexdump", "FILE [N] [--offset O] [--length L]", 1, 6,
     "show FILE as hex dumps of N bytes each (default 16), titled with their offsets; only the L bytes from "
     "offset O with --offset and --length (decimal, or hexadecimal after 0x)",
     RunHexdumpSubcommand},
    {"serial-check", "[PATTERN]", 0, 1,
     "ask for a serial port number, open that port at 115200 8N1 and show its settings; exit status 0 "
     "when it opened (PATTERN, Linux only: the device node of port %u, e.g. /dev/ttyAMA%u)",
     RunSerialCheckSubcommand},
};

const int kCipherSubcommandCount =
    static_cast<int>(sizeof(kCipherSubcommands) / sizeof(kCipherSubcommands[0]));
