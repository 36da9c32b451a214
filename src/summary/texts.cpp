#include "summary/texts.hpp"

namespace smz {

SummaryTexts kSummaryStr = {SMZ_SUMMARY_TEXTS(SMZ_TEXT_VALUE)};

bool build_summary_texts() {
    SummaryTexts& table = kSummaryStr;
    return true SMZ_SUMMARY_TEXTS(SMZ_TEXT_BUILD);
}

}  // namespace smz
