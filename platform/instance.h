#pragma once

#include <string>

// One lock per program name and user, held by every running instance of the
// program, so that a new instance can tell whether another one runs (on
// Windows: a named mutex in the session's namespace).

namespace platform {

class CInstanceLock {
public:
    CInstanceLock() = default;
    ~CInstanceLock();
    CInstanceLock(const CInstanceLock&) = delete;
    CInstanceLock& operator=(const CInstanceLock&) = delete;

    // Joins the instances of strProgram. Returns false (and holds nothing)
    // when bAlone is true and another instance already holds the lock; with
    // bAlone false it always joins, unless the lock file cannot be made, which
    // also returns false. The lock lives in $XDG_RUNTIME_DIR, or in a folder
    // of the user's own below the temporary folder. On Windows it is a named
    // mutex in the namespace of the logon session ("Local\"), so instances of
    // one user in two sessions (or of two users) do not see each other.
    bool Acquire(const std::string& strProgram, bool bAlone);

    bool IsHeld() const { return m_nHandle >= 0; }

private:
    int m_nHandle = -1;
};

}  // namespace platform
