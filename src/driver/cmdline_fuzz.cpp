// Fuzz target: a command line read as the run options read it (SetupParseCommandLine): the
// upper-cased scan copy, the values of the switches cut into their fields, the flags, the "/$"
// variables in the private copy, and the authorization server split into host and port.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "driver/cmdline.h"

namespace {

void Check(bool condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "cmdline_fuzz: %s\n", what);
    abort();
  }
}

// The run options' fields and their sizes.
struct ValueSwitch {
  const char* name;
  int size;
  bool keepsCase;  // cut from the command line as received, not from the scan copy
};
const ValueSwitch kValues[] = {{"/CFG=", 260, false},
                               {"/SETTINGS=", 260, false},
                               {"/NUP=", 260, false},
                               {"/PWD=", 30, true},
                               {"/AUTHSERVER=", 260, true}};
const char* const kFlags[] = {"/SILENTMODE", "/UNINSTALL", "/FORCEOLD", "/UPDATE",
                              "/TEST",       "/REBOOT",    "/INSTMFC"};
// One slot of the options' variable table always stays free.
const int kVariableSlots = 19;

bool Blank(char c) { return static_cast<unsigned char>(c) <= 32; }

// What CmdCutValue must give for the text behind a switch.
std::string ExpectedValue(const char* text, int size) {
  while (*text == ' ') ++text;
  std::string value;
  if (*text == '"') {
    const char* end = strchr(text + 1, '"');
    value = end ? std::string(text + 1, end) : std::string(text + 1);
  } else {
    const char* end = strchr(text, ' ');
    value = end ? std::string(text, end) : std::string(text);
  }
  if (value.size() > static_cast<size_t>(size - 1)) value.resize(static_cast<size_t>(size - 1));
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  std::string line(reinterpret_cast<const char*>(data), size);
  line = line.substr(0, line.find('\0'));
  const char* commandLine = line.c_str();

  char scan[CMD_SCAN_SIZE];
  CmdUpperCopy(scan, commandLine, sizeof scan);
  size_t scanned = strlen(scan);
  Check(scanned == (line.size() < CMD_SCAN_SIZE ? line.size() : CMD_SCAN_SIZE - 1), "scan length");
  for (size_t i = 0; i < scanned; ++i) {
    char c = commandLine[i];
    Check(scan[i] == (c >= 'a' && c <= 'z' ? c - 32 : c), "upper-cased copy");
  }

  char authServer[260] = "";
  for (const ValueSwitch& v : kValues) {
    int at = CmdFind(scan, v.name);
    const char* hit = strstr(scan, v.name);
    Check(at == (hit ? static_cast<int>(hit - scan) : -1), "first occurrence");
    if (at < 0) continue;
    const char* source = (v.keepsCase ? commandLine : scan) + at + strlen(v.name);
    char value[260];
    memset(value, 'x', sizeof value);
    CmdCutValue(source, value, v.size);
    Check(memchr(value, 0, static_cast<size_t>(v.size)) != nullptr, "terminated in its field");
    Check(value == ExpectedValue(source, v.size), "value cut at its quote or blank");
    if (strcmp(v.name, "/AUTHSERVER=") == 0) memcpy(authServer, value, sizeof authServer);
  }
  for (const char* flag : kFlags) {
    const char* hit = strstr(scan, flag);
    Check(CmdFlagPresent(scan, flag) == (hit && Blank(hit[strlen(flag)]) ? 1 : 0), "flag");
  }

  // The variables point into a private copy of the command line.
  char text[CMD_VARS_SIZE];
  memset(text, 0, sizeof text);
  strncpy(text, commandLine, sizeof text - 1);
  std::string before(text, sizeof text);
  CmdVariable vars[kVariableSlots];
  int count = CmdScanVariables(text, vars, kVariableSlots);
  Check(count >= 0 && count <= kVariableSlots, "count");
  const char* last = text;
  for (int i = 0; i < count; ++i) {
    const char* name = vars[i].name;
    const char* value = vars[i].value;
    Check(name >= last && name < text + sizeof text && value > name && value < text + sizeof text,
          "inside the copy, in order");
    size_t nameLength = strlen(name);
    // An empty name ("/$ =x") is read as it stands; no reference can name it.
    Check(name + nameLength < value, "a name before its value");
    for (const char* p = name; *p; ++p) Check(!Blank(*p) && *p != '=', "name characters");
    bool quoted = value > text && before[static_cast<size_t>(value - 1 - text)] == '"';
    for (const char* p = value; *p; ++p) {
      Check(quoted ? *p != '"' : !Blank(*p) && *p != '=', "value characters");
    }
    // Names and values are cut out of the copy in place; the bytes they keep are the line's.
    Check(memcmp(name, before.data() + (name - text), nameLength) == 0, "name from the line");
    Check(memcmp(value, before.data() + (value - text), strlen(value)) == 0, "value from the line");
    last = value + strlen(value);
  }

  char host[260];
  int port = -1;
  CmdSplitServer(authServer, host, sizeof host, &port);
  Check(port >= 0 && port <= 65535, "port range");
  const char* colon = strrchr(authServer, ':');
  std::string expectedHost =
      colon ? std::string(authServer, static_cast<size_t>(colon - authServer)) : authServer;
  Check(host == expectedHost, "host before the last colon");
  if (port != 0) Check(atol(colon + 1) == port, "port after the last colon");

  // The restart entry's switches: no password is left, and a line without one stays as it is.
  std::string kept(line);
  CmdRemoveSwitch(&kept[0], "/PWD=");
  kept.resize(strlen(kept.c_str()));
  std::string upper(kept);
  for (char& c : upper) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
  Check(upper.find("/PWD=") == std::string::npos, "password removed");
  if (strstr(scan, "/PWD=") == nullptr && line.size() < CMD_SCAN_SIZE) {
    Check(kept == line, "nothing else removed");
  }

  Check(CmdCrc16(commandLine, 0) == 0, "empty CRC");
  CmdCrc16(commandLine, static_cast<int>(line.size()));
  return 0;
}
