// A session on a terminal: libedit's line editor (emacs keys, arrow keys for
// the history) reads the lines, driven character by character from a poll
// loop, so that Ctrl-C reaches the tool's own stop handling instead of the
// editor's (libedit would send the signal on to the whole process group).
#include <editline/readline.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "cli_acquisition.h"
#include "cli_device.h"
#include "cli_process.h"
#include "cli_registry.h"

namespace qcli {

namespace {

// The line the editor completed, or the end of input.
struct EditorLine {
  bool done = false;
  bool end = false;  // Ctrl-D on an empty line
  std::string text;
};
EditorLine _line;

extern "C" void onEditorLine(char* line) {
  _line.done = true;
  _line.end = line == nullptr;
  if (line != nullptr) {
    _line.text = line;
    std::free(line);
  }
  // No further characters go to the editor until the next prompt.
  rl_callback_handler_remove();
}

// Reads one line at the prompt. Returns false at the end of input; Ctrl-C
// throws the line away and prompts again.
bool readLine(const std::string& prompt, std::string& line) {
  for (;;) {
    _line = EditorLine();
    rl_callback_handler_install(prompt.c_str(), onEditorLine);
    while (!_line.done && !stopRequested()) {
      pollfd p{STDIN_FILENO, POLLIN, 0};
      const int ready = poll(&p, 1, 200);
      if (ready > 0) rl_callback_read_char();
      if (ready < 0 && errno != EINTR) {
        _line.done = _line.end = true;
      }
    }
    if (_line.done) {
      if (_line.end) std::fputc('\n', stderr);
      line = _line.text;
      return !_line.end;
    }
    // Ctrl-C at the prompt: a fresh, empty line.
    rl_callback_handler_remove();
    std::fputc('\n', stderr);
    clearStopRequest();
  }
}

}  // namespace

int runTerminalSession(Device& device) {
  rl_readline_name = "qelomsr";
  rl_instream = stdin;
  rl_outstream = stderr;  // the prompt is no data: standard output stays clean
  rl_catch_signals = 0;
  using_history();
  std::fprintf(stderr,
               "qelomsr: a session on %s: device commands as on the command line without the "
               "device (info, read AI-0, dio DP-0 --oe 0xFF --write 0x5A, ...), sleep SECONDS, "
               "help; exit, quit or Ctrl-D end it\n",
               device.entry().identifier.c_str());
  const std::string prompt = device.entry().identifier + "> ";
  int last = kExitSuccess;
  std::string line;
  while (readLine(prompt, line)) {
    std::vector<std::string> words;
    try {
      words = splitSessionLine(line);
    } catch (const std::exception& e) {
      add_history(line.c_str());
      last = reportFailure(e);
      continue;
    }
    if (words.empty()) continue;
    add_history(line.c_str());
    if (words.size() == 1 && (words[0] == "exit" || words[0] == "quit")) break;
    if (words.size() == 1 && words[0] == "help") words[0] = "--help";
    try {
      last = runSessionLine(device, words);
    } catch (const std::exception& e) {
      endProgressLine();
      last = reportFailure(e);
    }
    std::fflush(out());
    if (stopRequested()) {
      // Ctrl-C ended the command: the session goes on.
      std::fprintf(stderr, "qelomsr: interrupted\n");
      clearStopRequest();
    }
  }
  return last == kExitBrokenPipe ? last : kExitSuccess;
}

}  // namespace qcli
