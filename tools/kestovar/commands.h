// Subcommands of the kestovar tool and its exit codes.
#pragma once

namespace kestovar_tool {

// Exit codes: 0 success, 1 bad usage, 2 input/output error, 3 cancelled.
constexpr int kExitUsage = 1;
constexpr int kExitIo = 2;
constexpr int kExitCancelled = 3;

// kestovar demo DATA_DIR OUT_DIR
int RunDemo(int argc, char** argv);
// kestovar reduce INPUT [-o OUTPUT] (--ratio R | --faces N | --points N) [options]
int RunReduce(int argc, char** argv);
// kestovar compare A B [--json]
int RunCompare(int argc, char** argv);
// kestovar info FILE [--json]
int RunInfo(int argc, char** argv);

}  // namespace kestovar_tool
