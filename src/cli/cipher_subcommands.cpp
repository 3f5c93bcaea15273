// The one list of the tool's subcommands, in the order --help shows them.
#include "cli/cipher_subcommand.h"

const CipherSubcommand kCipherSubcommands[] = {
    {"encode", "PLAIN CIPHER", 2, 2,
     "scramble the plain firmware image PLAIN (its first 262144 bytes) into the McuCipherFile CIPHER",
     RunEncodeSubcommand},
    {"decode", "CIPHER CLEAR", 2, 2, "descramble the McuCipherFile CIPHER into the plain copy CLEAR",
     RunDecodeSubcommand},
    {"info", "CIPHER", 1, 1, "show the header of CIPHER, its size and the whole-file check",
     RunInfoSubcommand},
    {"verify", "CIPHER", 1, 1, "check CIPHER whole (layout and CRC); exit status 0 only for a sound file",
     RunVerifySubcommand},
};

const int kCipherSubcommandCount =
    static_cast<int>(sizeof(kCipherSubcommands) / sizeof(kCipherSubcommands[0]));
