#include "console/probe_texts.h"

#include <utility>

namespace console {

ProbeTexts::ProbeTexts()
    : before_(probe_set_text_sink([this](const char* text, bool) {
          if (first_.empty()) first_ = text;
      })) {}

ProbeTexts::~ProbeTexts() { probe_set_text_sink(std::move(before_)); }

}  // namespace console
