// Chinese message set.
#include "app/console_texts.h"
#include "drbd/upgrade_texts.h"

const ConsoleTexts kConsoleTexts = {
    "[使用说明]: =========================================================================\r\n",
    "[使用说明]: 操作步骤如下：\r\n",
    "[使用说明]:   第1步，使用USB线缆链接数位板，并确认链接成功\r\n",
    "[使用说明]:   第2步，依次通过键盘输入数字键'1'和'回车'进行数位板固件升级\r\n",
    "[使用说明]:   第3步，依次通过键盘输入数字键'2'和'回车'退出当前程序\r\n",
    "\r[Tavelo IAP]: 等待数位板设备接入",
    "\r[Tavelo IAP]: 已检测到数位板【%s】成功链接 \r\n",
    "[Tavelo IAP]: 此版本支持以下操作：[1]固件升级 Or [2]退出\r\n",
    "[Tavelo IAP]: 请选择操作类型：",
    "[Tavelo IAP]: "
    "无法使用本程序所在的目录，读取不到固件文件：请将本程序及其固件文件移到名称较短的文件夹中\r\n",
};

const UpgradeTexts kUpgradeTexts = {
    "\r[Tavelo IAP]: IAP固件升级准备中..",
    "\r[Tavelo IAP]: IAP固件升级[%6.02f%%][%s]",
    "已完成",
    "进行中..",
    "[Tavelo IAP]: 升级已中断：数位板停留在引导程序中。请重新运行本程序并选择1完成升级\r\n",
};
