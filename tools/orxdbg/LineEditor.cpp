#include "tools/orxdbg/LineEditor.h"

#include <histedit.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

namespace orxdbg {

namespace {

std::atomic<bool> g_lineInterrupted{false};

// libedit's character source. A Ctrl-C that lands between two reads would
// not interrupt a read begun after it: the flag is looked at before every
// wait, and the wait is short.
int ReadCharacter(EditLine*, wchar_t* c) {
    std::mbstate_t state{};
    for (;;) {
        if (g_lineInterrupted.exchange(false)) {
            errno = EINTR;
            return -1;
        }
        pollfd p{STDIN_FILENO, POLLIN, 0};
        const int ready = poll(&p, 1, 50);
        if (ready < 0 && errno != EINTR) return -1;
        if (ready <= 0) continue;
        char byte;
        const ssize_t n = read(STDIN_FILENO, &byte, 1);
        if (n == 0) return 0;
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        const std::size_t decoded = std::mbrtowc(c, &byte, 1, &state);
        if (decoded == static_cast<std::size_t>(-2)) continue;  // more bytes to come
        if (decoded == static_cast<std::size_t>(-1)) {
            state = std::mbstate_t{};
            *c = static_cast<unsigned char>(byte);
        }
        return 1;
    }
}

}  // namespace

void LineEditor::Interrupt() { g_lineInterrupted = true; }


std::string DefaultHistoryFile() {
    if (const char* file = std::getenv("ORXDBG_HISTORY")) return file;
    if (const char* home = std::getenv("HOME"); home && *home) return std::string(home) + "/.orxdbg_history";
    return {};
}

LineEditor::LineEditor(const char* program, std::string prompt, std::string historyFile, Completer completer)
    : prompt_(std::move(prompt)), historyFile_(std::move(historyFile)), completer_(std::move(completer)) {
    HistEvent event;
    history_ = ::history_init();
    ::history(history_, &event, H_SETSIZE, 1000);
    ::history(history_, &event, H_SETUNIQUE, 1);
    if (!historyFile_.empty()) ::history(history_, &event, H_LOAD, historyFile_.c_str());

    el_ = el_init(program, stdin, stdout, stderr);
    el_set(el_, EL_CLIENTDATA, this);
    el_set(el_, EL_EDITOR, "emacs");
    el_set(el_, EL_PROMPT, &LineEditor::Prompt);
    el_set(el_, EL_HIST, ::history, history_);
    // Ctrl-C is the program's: its handler ends the read, libedit's would not.
    el_set(el_, EL_SIGNAL, 0);
    el_set(el_, EL_GETCFN, &ReadCharacter);
    el_set(el_, EL_ADDFN, "orxdbg-complete", "complete a command, symbol, register or file name",
           &LineEditor::CompleteKey);
    el_set(el_, EL_BIND, "^I", "orxdbg-complete", nullptr);
    el_source(el_, nullptr);  // the user's ~/.editrc
}

LineEditor::~LineEditor() {
    if (el_) el_end(el_);
    if (history_) {
        HistEvent event;
        if (!historyFile_.empty()) ::history(history_, &event, H_SAVE, historyFile_.c_str());
        ::history_end(history_);
    }
}

const char* LineEditor::Prompt(editline* el) {
    LineEditor* self = nullptr;
    el_get(el, EL_CLIENTDATA, &self);
    return self->prompt_.c_str();
}

LineEditor::Result LineEditor::Read(std::string& line) {
    int count = 0;
    errno = 0;
    g_lineInterrupted = false;  // a Ctrl-C from before the prompt is not for this line
    const char* text = el_gets(el_, &count);
    if (!text || count <= 0) {
        if (count < 0 && errno == EINTR) {
            el_reset(el_);
            std::fputs("^C\n", stdout);
            std::fflush(stdout);
            return Result::Interrupted;
        }
        return Result::End;
    }
    line.assign(text, static_cast<std::size_t>(count));
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line.find_first_not_of(" \t") != std::string::npos) {
        HistEvent event;
        ::history(history_, &event, H_ENTER, line.c_str());
        if (!historyFile_.empty()) ::history(history_, &event, H_SAVE, historyFile_.c_str());
    }
    return Result::Line;
}

unsigned char LineEditor::CompleteKey(editline* el, int) {
    LineEditor* self = nullptr;
    el_get(el, EL_CLIENTDATA, &self);
    const LineInfo* info = el_line(el);
    const std::string_view before(info->buffer, static_cast<std::size_t>(info->cursor - info->buffer));
    const Completion completion = self->completer_(before);
    if (completion.candidates.empty()) return CC_REFRESH_BEEP;
    const std::string typed(before.substr(completion.start));
    auto replaceWith = [&](const std::string& text) {
        el_deletestr(el, static_cast<int>(typed.size()));
        el_insertstr(el, text.c_str());
    };
    if (completion.candidates.size() == 1) {
        const std::string& only = completion.candidates.front();
        replaceWith(only.back() == '/' ? only : only + " ");
        return CC_REFRESH;
    }
    std::string common = completion.candidates.front();
    for (const std::string& c : completion.candidates) {
        std::size_t n = 0;
        while (n < common.size() && n < c.size() && common[n] == c[n]) ++n;
        common.resize(n);
    }
    if (common.size() > typed.size()) {
        replaceWith(common);
        return CC_REFRESH;
    }
    // Nothing more to add: list them under the line.
    std::size_t width = 0;
    for (const std::string& c : completion.candidates) width = std::max(width, c.size());
    const std::size_t columns = std::max<std::size_t>(1, 80 / (width + 2));
    std::fputs("\n", stdout);
    for (std::size_t i = 0; i < completion.candidates.size(); ++i) {
        std::fprintf(stdout, "%-*s", static_cast<int>(width + 2), completion.candidates[i].c_str());
        if ((i + 1) % columns == 0 || i + 1 == completion.candidates.size()) std::fputs("\n", stdout);
    }
    std::fflush(stdout);
    return CC_REDISPLAY;
}

}  // namespace orxdbg

#if defined(__SANITIZE_ADDRESS__)
// libedit copies the name and help text of a function added with EL_ADDFN
// (wcsdup) and el_end does not free them: not this program's leak.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
    return "leak:wcsdup\n";
}
#endif
