// English message set.
#include "app/console_texts.h"
#include "device/owner_texts.h"
#include "drbd/upgrade_texts.h"
#include "platform/os.h"

const ConsoleTexts kConsoleTexts = {
    "[Help]: =========================================================================\r\n",
    "[Help]: Please follow the steps：\r\n",
    "[Help]:   Step1，Please connect tavelo digital panel with USB cable, and confirm the connection.\r\n",
    "[Help]:   Step2，Please input num '1' and 'Enter' to upgrade the firmware of tavelo digital panel.\r\n",
    "[Help]:   Step3，Please input num '2' and 'Enter' to exit.\r\n",
    "\r[Tavelo IAP]: Detecting tavelo digital panel",
    "\r[Tavelo IAP]: Tavelo digital panel【%s】connected \r\n",
    "[Tavelo IAP]: Function list：【1】Firmware Upgrade 【2】Exit\r\n",
    "[Tavelo IAP]: Please choose：",
    "[Tavelo IAP]: The program's own directory could not be used, so no firmware file can be read: move the "
    "program and its firmware files to a folder with a shorter name.\r\n",
};

const UpgradeTexts kUpgradeTexts = {
    "\r[Tavelo IAP]: Ready to updata the firmware..",
    "\r[Tavelo IAP]: Firmware is being upgraded[%6.02f%%][%s]",
    "Finish",
    "Processing..",
    "[Tavelo IAP]: Upgrade interrupted: the tablet waits in its boot loader. Start the program again and "
    "choose 1 to complete the upgrade.\r\n",
};

const OwnerTexts kOwnerTexts = {
    "\r\n[Tavelo IAP]: No supported tablet found yet; still waiting (Ctrl-C quits). The supported models are "
    "listed in %s. If yours is one of them, try another USB cable or port, and if a line above names a "
    "tablet that could not be opened, do as it says.\r\n",
    "\r\n[Tavelo IAP]: The tablet has not come back yet. Still waiting for it; if it does not come back, "
    "unplug it and plug it in again.\r\n",
    "\r\n[Tavelo IAP]: The tablet's answers were out of step, so its answer to the last package cannot be "
    "trusted. Unplug the tablet, plug it in again and upgrade again.\r\n",
    "\r\n[Tavelo IAP]: Waiting for the tablet to restart; this can take a while. Leave it plugged in.\r\n",
    "\r[Tavelo IAP]: Firmware file from the current folder: " PLATFORM_SYSTEM_TEXT("%s") "\r\n",
    "\r[Tavelo IAP]: The firmware file %s in the current folder " PLATFORM_SYSTEM_TEXT("%s") " cannot be used: the folder's path is too "
    "long (the program takes a path of at most %u bytes, the file name included). Move the file to a folder "
    "with a shorter path, start the program there and choose 1 again.\r\n",
    "[Tavelo IAP]: The program has ended. Press Enter to close this window.\r\n",

    "Cannot open the firmware file %s: %s",
    "Cannot open the firmware file %s: %s, and the current folder %s has none either",
    "The firmware file %s is there, but this user may not read it: %s",
    "The firmware file %s is a folder, not a file",
    "The firmware file %s is a device, FIFO or other special file, not a regular file",
    "Cannot read the firmware file %s: %s",
    "Not enough memory to check the firmware file %s: %s",
    "The firmware file %s is empty (0 bytes)",
    "The firmware file %s is cut short: its %llu bytes do not hold a header",
    "The firmware file %s is no firmware file: its %llu bytes are more than one holds (%u)",
    "The firmware file %s is damaged or cut short: its size (%llu bytes) does not match its header",
    "The firmware file %s is damaged: its image does not match its CRC",
    "The firmware file %s holds no image: there is nothing to flash",
    "The firmware file %s cannot be used",
    ". Put the firmware file of %s there under the name %s, then choose 1 again.",
    ". Put the firmware file of %s in the current folder under the name %s, then choose 1 again.",
    ". The current folder's path is too long for a firmware file in it to be used: put the firmware file of "
    "%s in a folder with a shorter path under the name %s, start the program there and choose 1 again.",
    ". Put a fresh copy of the firmware file of %s there under the name %s, then choose 1 again.",
    ". Move it away and put the firmware file of %s there under the name %s, then choose 1 again.",
    ". Let this user read it (or put a copy of the firmware file of %s that this user can read there under "
    "the name %s), then choose 1 again.",
    "[Tavelo IAP]: The firmware file %s is not there, but %s has a nearly matching name. If it is the "
    "firmware file of %s, rename it to %s, then choose 1 again.\r\n",
};
