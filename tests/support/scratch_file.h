// A file for the test support's own use (captured output, fed input), created in the temporary folder
// under a name of this process's own and removed when closed. Test programs run side by side, and a C
// runtime's tmpfile() may pick its names in one folder shared by all of them, where two programs can
// race for the same name and one gets none.
#pragma once

#include <cstdio>
#include <string>

class ScratchFile {
  public:
    // Ends the program with a message naming strUser and the file when the file cannot be created: the
    // test cannot run without it.
    explicit ScratchFile(const char* strUser);
    ~ScratchFile();
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    std::FILE* File() const { return ptFile_; }
    // Closes and removes the file (once; the destructor does it otherwise).
    void Close();

  private:
    std::string strPath_;
    std::FILE* ptFile_ = nullptr;
};
