// The console texts that belong to the program's message language (English or Chinese build).
#pragma once

struct ConsoleTexts {
    const char* strHelpRule;
    const char* strHelpHeading;
    const char* strHelpStep1;
    const char* strHelpStep2;
    const char* strHelpStep3;
    const char* strDetecting;  // begins with "\r", no line end
    const char* strConnected;  // %s = model name
    const char* strMenuEntries;
    const char* strMenuPrompt;
    const char* strNoExeDir;  // the program's directory could not be had: no firmware path (a whole line)
};

extern const ConsoleTexts kConsoleTexts;
