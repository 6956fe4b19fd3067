// Sets LC_ALL for the life of one object and restores it afterwards. On POSIX the ANSI
// and OEM code pages follow it; on Windows they come from the system and it changes
// nothing that the tests look at.
#pragma once

#include <cstdlib>
#include <string>

#include "support/win32_posix_compat.h"

namespace keldrin::test {

class LocaleGuard {
  public:
    explicit LocaleGuard(const char* value) {
        const char* old = std::getenv("LC_ALL");
        hadValue_ = old != nullptr;
        if (hadValue_) saved_ = old;
        setenv("LC_ALL", value, 1);
    }
    ~LocaleGuard() {
        if (hadValue_)
            setenv("LC_ALL", saved_.c_str(), 1);
        else
            unsetenv("LC_ALL");
    }
    LocaleGuard(const LocaleGuard&) = delete;
    LocaleGuard& operator=(const LocaleGuard&) = delete;

  private:
    bool hadValue_ = false;
    std::string saved_;
};

}  // namespace keldrin::test
