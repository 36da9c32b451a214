#include "transcript/texts.hpp"

namespace smz {

TranscriptTexts kTranscriptStr = {SMZ_TRANSCRIPT_TEXTS(SMZ_TEXT_VALUE)};

bool build_transcript_texts() {
    TranscriptTexts& table = kTranscriptStr;
    return true SMZ_TRANSCRIPT_TEXTS(SMZ_TEXT_BUILD);
}

}  // namespace smz
