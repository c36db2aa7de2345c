// Links between the pieces of the runtime frame that are not part of the public interface.
#pragma once

namespace kestovar {
namespace detail {

// Signal traps of initialisation flag 2 (signal_guard.cpp). Installing twice keeps the handlers
// saved the first time; restoring without an installation does nothing.
void InstallSignalHandlers();
void RestoreSignalHandlers();

// Deletes the thread parent map and the cancel and silent sets (thread_registry.cpp), for
// CloseKestovarApplication with flag 16.
void ReleaseThreadRegistry();

}  // namespace detail
}  // namespace kestovar
