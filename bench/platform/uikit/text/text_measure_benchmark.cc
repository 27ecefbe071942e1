// What Auto Layout pays for a label's intrinsic size: a two-line prompt
// label with its host in bold, measured with the process's cached faces,
// against the same measurement of one character (the fixed cost of a
// layout: UTF-8 check, shaping call, break iterator). The cold case opens the
// font files for every measurement, which is what the face cache saves.
#include <cstdlib>
#include <string>

#include <benchmark/benchmark.h>

#include "platform/uikit/text/text_layout.h"

namespace sentrel::uikit {
namespace {

const LayoutOptions kLabel{.width = 270, .max_lines = 0, .scale = 3};

AttributedText promptText() {
  const std::string host = "telemetry.example.com";
  AttributedText text("Weather wants to connect to " + host + " on port 443. Allow it?",
                      Font::preferredFont(TextStyle::kBody));
  text.setBold(28, host.size());
  return text;
}

FontLibrary& sharedFonts() {
  FontLibrary& fonts = FontLibrary::shared();
  if (!fonts.ok()) {
    std::fprintf(stderr, "%s\n", fonts.error().c_str());
    std::abort();
  }
  return fonts;
}

void BM_OneCharacterLabelSize(benchmark::State& state) {
  FontLibrary& fonts = sharedFonts();
  const AttributedText text("A", Font::preferredFont(TextStyle::kBody));
  for (auto _ : state) benchmark::DoNotOptimize(sizeThatFits(text, kLabel, fonts));
}
BENCHMARK(BM_OneCharacterLabelSize);

void BM_PromptLabelSize(benchmark::State& state) {
  FontLibrary& fonts = sharedFonts();
  const AttributedText text = promptText();
  if (layoutText(text, kLabel, fonts).lines.size() < 2) std::abort();  // it must wrap
  for (auto _ : state) benchmark::DoNotOptimize(sizeThatFits(text, kLabel, fonts));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.text.size()));
}
BENCHMARK(BM_PromptLabelSize);

void BM_PromptLabelSizeOpeningFaces(benchmark::State& state) {
  std::string error;
  auto paths = findSystemFontFiles(&error);
  if (!paths) {
    std::fprintf(stderr, "%s\n", error.c_str());
    std::abort();
  }
  const AttributedText text = promptText();
  for (auto _ : state) {
    FontLibrary fonts(*paths);
    benchmark::DoNotOptimize(sizeThatFits(text, kLabel, fonts));
  }
}
BENCHMARK(BM_PromptLabelSizeOpeningFaces);

}  // namespace
}  // namespace sentrel::uikit
