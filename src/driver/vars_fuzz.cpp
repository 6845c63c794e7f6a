// Fuzz target: variable expansion of an administrator's text with the "/$" variables of a command
// line. The input is the command line, a zero byte, then the text. Every capacity must give a
// terminated prefix of the whole expansion made of whole pieces, and Measure must tell the room
// the whole expansion needs.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "driver/cmdline.h"
#include "system/vars.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "vars_fuzz: %s\n", what);
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 8192) return 0;
  std::string input(reinterpret_cast<const char*>(data), size);
  size_t split = input.find('\0');
  std::string line = split == std::string::npos ? "" : input.substr(0, split);
  std::string text = split == std::string::npos ? input : input.substr(split + 1);
  text = text.substr(0, text.find('\0'));

  char copy[CMD_VARS_SIZE] = {};
  strncpy(copy, line.c_str(), sizeof copy - 1);
  CmdVariable found[19];
  int count = CmdScanVariables(copy, found, 19);
  std::vector<VarPair> vars;
  for (int i = 0; i < count; ++i) vars.push_back({found[i].name, found[i].value});
  vars.push_back({nullptr, nullptr});

  VarExpander expander;
  // The program inserts values as references; both forms are fuzzed.
  const bool references = (size & 1) != 0;
  expander.SetHighCharsAsReferences(references);
  size_t needed = expander.Measure(text.c_str(), vars.data());
  Check(needed >= 1, "room for the terminator");
  std::vector<char> whole(needed + 16, 'x');
  int length = static_cast<int>(whole.size());
  Check(expander.Expand(text.c_str(), whole.data(), &length, vars.data()) == 1, "expands");
  Check(static_cast<size_t>(length) + 1 == needed && whole[static_cast<size_t>(length)] == 0,
        "Measure tells the whole expansion's room");
  std::string full(whole.data(), static_cast<size_t>(length));
  // Text without a reference comes out as it stands.
  if (text.find("%!") == std::string::npos) Check(full == text, "plain text unchanged");
  // Inserted as references, values bring no byte above 0x7F into a text that had none.
  auto high = [](const std::string& s) {
    for (char c : s)
      if (static_cast<unsigned char>(c) >= 0x80) return true;
    return false;
  };
  if (references && !high(text)) Check(!high(full), "values as references");

  // Smaller rooms: a terminated prefix each, never longer as the room grows.
  size_t previous = 0;
  size_t step = needed > 64 ? needed / 64 : 1;
  for (size_t room = 1; room <= needed; room += step) {
    std::vector<char> out(room + 8, 'y');
    int n = static_cast<int>(room);
    Check(expander.Expand(text.c_str(), out.data(), &n, vars.data()) == 1, "expands cut");
    Check(n >= 0 && static_cast<size_t>(n) < room && out[static_cast<size_t>(n)] == 0 &&
              out[room] == 'y',
          "terminated inside its room");
    Check(full.compare(0, static_cast<size_t>(n), out.data(), static_cast<size_t>(n)) == 0,
          "a prefix of the whole expansion");
    Check(static_cast<size_t>(n) >= previous, "more room, never less text");
    previous = static_cast<size_t>(n);
  }
  int zero = 0;
  char none[1] = {'z'};
  Check(expander.Expand(text.c_str(), none, &zero, vars.data()) == 0 && none[0] == 'z',
        "no room, nothing written");
  return 0;
}
