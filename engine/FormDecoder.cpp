#include "engine/FormDecoder.h"

namespace pithorama {

// GAP: multipart bodies are not decoded yet; such a post reaches the handler
// with no fields. The streaming decoder replaces this.
void DecodeMultipart(THttpEngine&, std::string&) {}

}  // namespace pithorama
