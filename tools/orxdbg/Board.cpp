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
int32_t PcId() { return sim::RegisterIndex(CurrentBoard(), sim::RegisterRole::Pc); }
int32_t SpId() { return sim::RegisterIndex(CurrentBoard(), sim::RegisterRole::Sp); }
int32_t LrId() { return sim::RegisterIndex(CurrentBoard(), sim::RegisterRole::Lr); }
int32_t StatusId() { return sim::RegisterIndex(CurrentBoard(), sim::RegisterRole::Status); }

}  // namespace orxdbg
