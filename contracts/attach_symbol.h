// The linker name of korvane::ipc::AndroidAshmem::attach_ashmem(std::string const&)
// (Itanium C++ ABI, libstdc++'s new string ABI), by which the clients find the
// host's region component in the process at run time.
#pragma once

namespace korvane::ipc {
inline constexpr const char* kAttachAshmemSymbol =
    "_ZN7korvane3ipc13AndroidAshmem13attach_ashmemERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE";
}
