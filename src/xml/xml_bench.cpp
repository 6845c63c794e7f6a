// Throughput of parsing and writing a global setup description of 20,000 files.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "xml/xml.h"

namespace {

const int kComponents = 20;
const int kFilesPerComponent = 1000;

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// Builds the description through the library and returns its text.
std::string MakeGlobalXml() {
  XML_Document* doc = XML_Create();
  XML_Node* root = XML_CreateRoot(doc, u"ZORVASETUP");
  XML_Node* package = XML_Find(doc, nullptr, u"PACKAGE", XML_OPEN_ALWAYS);
  XML_SetAttribute(doc, package, u"NAME", u"Zorva Antivirus");
  XML_SetAttribute(doc, package, u"INSTALLPATH", u"C:\\Program Files\\Vesk\\Zorva\\");
  XML_Node* components = XML_Find(doc, package, u"COMPONENTS", XML_OPEN_ALWAYS);
  for (int c = 0; c < kComponents; ++c) {
    XML_Node* component = XML_AddElement(components, u"COMPONENT");
    std::string name = "component" + std::to_string(c);
    XML_SetAttribute(doc, component, u"NAME", Wide(name).c_str());
    XML_SetAttributeHex(doc, component, u"ID", 0x1000u + static_cast<uint32_t>(c));
    XML_Node* files = XML_AddElement(component, u"FILES");
    for (int f = 0; f < kFilesPerComponent; ++f) {
      XML_Node* file = XML_AddElement(files, u"FILE");
      std::string n = "file" + std::to_string(c * kFilesPerComponent + f);
      XML_SetAttribute(doc, file, u"NAME", Wide("bin\\" + n + ".dll").c_str());
      XML_SetAttribute(doc, file, u"DST", Wide("%INSTALLDIR%\\bin\\" + n + ".dll").c_str());
      XML_SetAttributeHex(doc, file, u"SIZE", static_cast<uint32_t>(f * 7919));
      XML_SetAttribute(doc, file, u"VERSION", u"4.1.0.1234");
      XML_SetAttribute(doc, file, u"FLAGS", u"shared & registered <com>");
      XML_SetAttributeHex(doc, file, u"STATUS", static_cast<uint32_t>(f % 4));
    }
  }
  XML_Find(doc, root, u"UNINSTALL\\COMMON", XML_OPEN_ALWAYS);
  int size = 0;
  XML_Serialize(doc, root, nullptr, &size);
  std::string text(static_cast<size_t>(size), '\0');
  XML_Serialize(doc, root, &text[0], &size);
  text.resize(static_cast<size_t>(size) - 1);
  XML_Close(doc);
  return text;
}

const std::string& GlobalXml() {
  static const std::string text = MakeGlobalXml();
  return text;
}

// Parsing alone: closing the document is left out of the timing.
void BM_Parse(benchmark::State& state) {
  const std::string& text = GlobalXml();
  for (auto _ : state) {
    XML_Document* doc = XML_Create();
    int result = XML_Parse(doc, text.data(), static_cast<int>(text.size()));
    benchmark::DoNotOptimize(result);
    if (result != 0) state.SkipWithError("parse failed");
    state.PauseTiming();
    XML_Close(doc);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_Parse)->Unit(benchmark::kMillisecond);

// A document's whole life: create, parse, close.
void BM_ParseAndClose(benchmark::State& state) {
  const std::string& text = GlobalXml();
  for (auto _ : state) {
    XML_Document* doc = XML_Create();
    int result = XML_Parse(doc, text.data(), static_cast<int>(text.size()));
    benchmark::DoNotOptimize(result);
    if (result != 0) state.SkipWithError("parse failed");
    XML_Close(doc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ParseAndClose)->Unit(benchmark::kMillisecond);

// Serialises the parsed description once per iteration, with or without the measuring call
// that callers make before saving.
void SerializeLoop(benchmark::State& state, bool measureFirst) {
  const std::string& text = GlobalXml();
  XML_Document* doc = XML_Create();
  XML_Parse(doc, text.data(), static_cast<int>(text.size()));
  std::vector<char> out(text.size() + 1);
  for (auto _ : state) {
    int size = static_cast<int>(out.size());
    if (measureFirst) XML_Serialize(doc, XML_GetRoot(doc), nullptr, &size);
    int result = XML_Serialize(doc, XML_GetRoot(doc), out.data(), &size);
    benchmark::DoNotOptimize(out.data());
    if (result != 0) state.SkipWithError("serialise failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(text.size()));
  XML_Close(doc);
}

void BM_Serialize(benchmark::State& state) { SerializeLoop(state, false); }
BENCHMARK(BM_Serialize)->Unit(benchmark::kMillisecond);

void BM_MeasureAndSerialize(benchmark::State& state) { SerializeLoop(state, true); }
BENCHMARK(BM_MeasureAndSerialize)->Unit(benchmark::kMillisecond);

// Building the same tree through the interface, as the installer does for its file lists.
void BM_Build(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(MakeGlobalXml());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(GlobalXml().size()));
}
BENCHMARK(BM_Build)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
