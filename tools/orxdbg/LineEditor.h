// The interactive prompt: line editing, history kept in a file between
// sessions, and tab completion, through libedit.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "tools/orxdbg/Commands.h"

struct editline;
struct history;

namespace orxdbg {

class LineEditor {
public:
    using Completer = std::function<Completion(std::string_view lineBeforeCursor)>;

    // historyFile: where history is loaded from and saved to; empty keeps
    // none between sessions.
    LineEditor(const char* program, std::string prompt, std::string historyFile, Completer completer);
    ~LineEditor();
    LineEditor(const LineEditor&) = delete;
    LineEditor& operator=(const LineEditor&) = delete;

    enum class Result { Line, Interrupted, End };
    // One line without its line break. Interrupted: Ctrl-C abandoned the
    // line.
    Result Read(std::string& line);
    // What the program's SIGINT handler calls: async-signal-safe.
    static void Interrupt();

private:
    static const char* Prompt(editline* el);
    static unsigned char CompleteKey(editline* el, int key);

    editline* el_ = nullptr;
    history* history_ = nullptr;
    std::string prompt_;
    std::string historyFile_;
    Completer completer_;
};

// Where the history is kept: $ORXDBG_HISTORY (empty: nowhere), else
// ~/.orxdbg_history.
std::string DefaultHistoryFile();

}  // namespace orxdbg
