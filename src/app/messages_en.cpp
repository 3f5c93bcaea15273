// English message set.
#include "app/console_texts.h"
#include "drbd/upgrade_texts.h"

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
