#include "summarizer/texts.hpp"

namespace smz {

SummarizerTexts kSummarizerStr = {SMZ_SUMMARIZER_TEXTS(SMZ_TEXT_VALUE)};

bool build_summarizer_texts() {
    SummarizerTexts& table = kSummarizerStr;
    return true SMZ_SUMMARIZER_TEXTS(SMZ_TEXT_BUILD);
}

}  // namespace smz
