#include "lib/function_table.hpp"

#include "frame/entries.hpp"

namespace vuvirida::lib {

namespace {
constexpr int kCallConvention = METH_FASTCALL | METH_KEYWORDS;
}

#define VUVIRIDA_METHOD_RECORD(function, ...)                             \
    {signatures::function.name, frame::function##_entry, kCallConvention, \
     text_signature<signatures::function>.data()},
const MethodRecord kFunctionTable[kFunctionCount] = {
    VUVIRIDA_FUNCTION_TABLE(VUVIRIDA_METHOD_RECORD)};
#undef VUVIRIDA_METHOD_RECORD

}  // namespace vuvirida::lib
