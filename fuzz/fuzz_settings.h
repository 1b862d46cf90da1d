#pragma once
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/settings.h"

// A settings file of the fuzzer's own (GALLION_INI), so the engines read short, known values and
// never a user's settings. Made once per process, removed at exit.
class Fuzz_settings {
public:
    Fuzz_settings()
    {
        char pattern[] = "/tmp/gallion-fuzz-ini-XXXXXX";
        int fd = mkstemp(pattern);
        if (fd >= 0)
            close(fd);
        path_ = pattern;
        setenv("GALLION_INI", path_.c_str(), 1);
    }
    ~Fuzz_settings() { std::remove(path_.c_str()); }

private:
    std::string path_;
};
