// Survives another process shrinking a shared-memory object under a mapping.
//
// Touching a mapped page past the end of its object raises SIGBUS, which
// would end the process. Once survive() was called, a SIGBUS inside a
// registered mapping instead replaces the mapping from the faulting page to
// its end with private zeroed pages and marks the mapping damaged: the access
// goes on, whatever it writes is lost, and the owner of the mapping tells
// from damaged() that its object is no longer what it mapped. Every thread
// is covered, libraries' worker threads included, with no unwinding.
//
// Registered mappings are kept in a fixed table that the signal handler reads
// without locks. A SIGBUS anywhere else goes to the handler installed before.
#pragma once

#include <cstddef>

namespace korvane::ipc::dev::shrink_guard {

// Installs the handler, once per process; a library never does this behind a program's back.
void survive();

// A mapping of `length` bytes at `begin`; returns its slot, or -1 when the table is full (it is then not covered).
int add(char* begin, std::size_t length);
// The mapping in `slot` now spans `length` bytes.
void resize(int slot, std::size_t length);
// Forgets `slot`; call it before unmapping.
void remove(int slot);
// Whether a fault in `slot` replaced some of its pages.
bool damaged(int slot);

}  // namespace korvane::ipc::dev::shrink_guard
