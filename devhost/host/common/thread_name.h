// Names the calling thread ("decode 0", "push 0"), as top and /proc show it;
// the kernel keeps at most 15 characters.
#pragma once

#include <pthread.h>

#include <string>

namespace flumina::host {

inline void nameThisThread(const std::string& name) { pthread_setname_np(pthread_self(), name.substr(0, 15).c_str()); }

}  // namespace flumina::host
