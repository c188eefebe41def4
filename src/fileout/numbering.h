// Choosing the numbered name of a file that must not replace another
// (overwrite mode 2): the target without its extension, the separator, a
// number, the extension. The name chosen is the lowest number whose name no
// file answers the existence test for, the first free one being the same as
// trying the numbers from 1 upward one at a time would find; it is found from
// one listing of the folder, so that a folder of many numbered names costs
// one pass over its entries, not one search per number.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "fileio.h"

namespace kvp {

// Creates the file of the given name only if absent and writes it: Written,
// or NameTaken when a file of that name was there first. Other failures
// raise.
using TryWrite = std::function<WriteOutcome(const std::wstring& name)>;

// Number n's name for target (n >= 1): "C:\up\photo.jpg", "~", 2 give
// "C:\up\photo~2.jpg".
std::wstring NumberedName(std::wstring_view target, std::wstring_view separator, uint64_t n);

// Writes through tryWrite under the first numbered name of target that is
// free, and returns that name. A name taken by another writer between the
// choice and the creation passes on to the next free number, so nothing
// anyone wrote is lost. What tryWrite raises ends the call (a folder of the
// name, a name that cannot be made).
std::wstring WriteUnderFreeNumber(const std::wstring& target, std::wstring_view separator,
                                  const TryWrite& tryWrite);

}  // namespace kvp
