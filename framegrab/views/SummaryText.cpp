#include "framegrab/views/SummaryText.h"

#include "framegrab/views/FigureText.h"

namespace fp {

std::string FormatSummary(const RunModel& model) {
  std::string out;
  for (const FigureLine& line : FigureLines(model)) {
    out += std::string(line.name) + ": " + line.text + "\n";
  }
  for (const std::string& d : model.summary.diagnoses) out += "diagnosis: " + d + "\n";
  return out;
}

}  // namespace fp
