// The automation face of the component: the interfaces Iprocess and
// Iprocess2, the class process and the type library, with the four
// identifiers they share with kvParcelin.idl (the header below is generated
// from it at build time).
#pragma once

#include <windows.h>
#include <ole2.h>

#include "kvParcelin_h.h"

namespace kvp {

constexpr WORD kTypeLibMajor = 1;
constexpr WORD kTypeLibMinor = 4;
constexpr const wchar_t* kProgID = L"kvParcelin.process";
constexpr const char* kProgIDAnsi = "kvParcelin.process";

}  // namespace kvp
