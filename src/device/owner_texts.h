// The owner's lines this program added to the fixed console texts, in the program's message language.
// Each program links one message set (English or Chinese), which defines them: a line is one entry in
// each set. Formats take their arguments in the order noted.
#pragma once

struct OwnerTexts {
    // Once while waiting for a tablet. %s: where the supported models are listed (kPlatformOwnerGuide).
    const char* strDetectingHint;
    // The tablet has not come back from a restart yet; the wait goes on.
    const char* strNotBackYet;
    // The last package's answer came out of step with the requests.
    const char* strOutOfStep;
    // The tablet has not left the bus yet for the restart its answer promised; the wait goes on.
    const char* strRestartWait;
    // Before an upgrade. %s: the firmware file's path in the folder the program was started from.
    const char* strFromStartFolder;
    // The upgrade is refused: the start folder holds the file, but their path does not fit the program's
    // path field. %s: the file's name, %s: the folder, %u: the longest path the program takes in bytes.
    const char* strStartFolderTooLong;
    // The window of a program that ended by itself waits for Enter.
    const char* strEnded;

    // The line after a refused firmware file: "[Tavelo IAP]: " + what is wrong + what to do + "\r\n".
    // What is wrong, each with %s: the path looked at (%s / %llu / %u as noted).
    const char* strFileNotOpened;       // %s: the system's reason
    const char* strFileNotOpenedStart;  // %s: the system's reason, %s: the start folder, which has none
    const char* strFileNotReadable;     // there, but this user may not read it; %s: the system's reason
    const char* strFileFolder;
    const char* strFileSpecial;
    const char* strFileReadFailed;  // %s: the system's reason
    const char* strFileNoMemory;    // %s: the system's reason
    const char* strFileEmpty;
    const char* strFileNoHeader;      // %llu: the file's size
    const char* strFileTooLarge;      // %llu: the file's size, %u: the largest firmware file
    const char* strFileSizeMismatch;  // %llu: the file's size
    const char* strFileCrc;
    const char* strFileNoImage;
    const char* strFileUnusable;
    // What to do, each with %s: the model, %s: the file's name.
    const char* strPutThere;          // not there: put it into the folder looked at
    const char* strPutInStartFolder;  // not there: put it into the start folder
    const char* strPutShorterFolder;  // not there, and the start folder's path is too long to take it
    const char* strPutFreshCopy;      // there but damaged
    const char* strPutInItsPlace;     // a folder or special file holds the name
    const char* strPutReadable;       // there, but not readable by this user
    // Not there, but a file of a nearly matching name is: %s: the path looked at, %s: the path of that
    // file, %s: the model, %s: the name it must have. A whole line.
    const char* strFileNearName;
};

extern const OwnerTexts kOwnerTexts;
