// The tools' current board: what --target chose (the in-process Cortex-M
// unless told otherwise). Kept apart from the session so that reading an
// image needs nothing else.
#include "tools/orxdbg/Session.h"

namespace orxdbg {

namespace {
const sim::Board* g_board = nullptr;
}  // namespace

void SetCurrentBoard(const sim::Board& board) { g_board = &board; }
const sim::Board& CurrentBoard() { return g_board ? *g_board : sim::DefaultBoard(); }
int32_t PcId() { return CurrentBoard().arch.RegisterIndex(sim::RegisterRole::Pc); }
int32_t SpId() { return CurrentBoard().arch.RegisterIndex(sim::RegisterRole::Sp); }
int32_t LrId() { return CurrentBoard().arch.RegisterIndex(sim::RegisterRole::Lr); }
int32_t StatusId() { return CurrentBoard().arch.RegisterIndex(sim::RegisterRole::Status); }

}  // namespace orxdbg
