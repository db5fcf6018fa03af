#include "app/platform/linux/X11KeyTable.h"

#include <string>

namespace pallix::x11 {
namespace {

// Flag values of KeyboardShortcut::modifierFlags.
constexpr uint32_t kFlagShift = 0x20000;
constexpr uint32_t kFlagControl = 0x40000;
constexpr uint32_t kFlagOption = 0x80000;
constexpr uint32_t kFlagCommand = 0x100000;

struct KeyRow {
  uint16_t keyCode;
  uint32_t keysym;
  const char* display;
};

// The virtual key codes of the ANSI layout with their X keysyms.
constexpr KeyRow kKeys[] = {
    {0, 'a', "A"},        {1, 's', "S"},        {2, 'd', "D"},       {3, 'f', "F"},        {4, 'h', "H"},
    {5, 'g', "G"},        {6, 'z', "Z"},        {7, 'x', "X"},       {8, 'c', "C"},        {9, 'v', "V"},
    {11, 'b', "B"},       {12, 'q', "Q"},       {13, 'w', "W"},      {14, 'e', "E"},       {15, 'r', "R"},
    {16, 'y', "Y"},       {17, 't', "T"},       {18, '1', "1"},      {19, '2', "2"},       {20, '3', "3"},
    {21, '4', "4"},       {22, '6', "6"},       {23, '5', "5"},      {24, '=', "="},       {25, '9', "9"},
    {26, '7', "7"},       {27, '-', "-"},       {28, '8', "8"},      {29, '0', "0"},       {30, ']', "]"},
    {31, 'o', "O"},       {32, 'u', "U"},       {33, '[', "["},      {34, 'i', "I"},       {35, 'p', "P"},
    {36, 0xff0d, "↩"},    {37, 'l', "L"},       {38, 'j', "J"},      {39, '\'', "'"},      {40, 'k', "K"},
    {41, ';', ";"},       {42, '\\', "\\"},     {43, ',', ","},      {44, '/', "/"},       {45, 'n', "N"},
    {46, 'm', "M"},       {47, '.', "."},       {48, 0xff09, "⇥"},   {49, ' ', "Space"},   {50, '`', "`"},
    {51, 0xff08, "⌫"},    {53, 0xff1b, "⎋"},    {96, 0xffc2, "F5"},  {97, 0xffc3, "F6"},   {98, 0xffc4, "F7"},
    {99, 0xffc0, "F3"},   {100, 0xffc5, "F8"},  {101, 0xffc6, "F9"}, {103, 0xffc8, "F11"}, {109, 0xffc7, "F10"},
    {111, 0xffc9, "F12"}, {115, 0xff50, "↖"},   {116, 0xff55, "⇞"},  {117, 0xffff, "⌦"},   {118, 0xffc1, "F4"},
    {119, 0xff57, "↘"},   {120, 0xffbf, "F2"},  {121, 0xff56, "⇟"},  {122, 0xffbe, "F1"},  {123, 0xff51, "←"},
    {124, 0xff53, "→"},   {125, 0xff54, "↓"},   {126, 0xff52, "↑"},  {105, 0xffca, "F13"}, {107, 0xffcb, "F14"},
    {113, 0xffcc, "F15"}, {106, 0xffcd, "F16"},
};

}  // namespace

std::optional<uint32_t> keysymForKeyCode(uint16_t keyCode) {
  for (const KeyRow& row : kKeys) {
    if (row.keyCode == keyCode) return row.keysym;
  }
  return std::nullopt;
}

std::optional<uint16_t> keyCodeForKeysym(uint32_t keysym) {
  if (keysym >= 'A' && keysym <= 'Z') keysym += 'a' - 'A';
  for (const KeyRow& row : kKeys) {
    if (row.keysym == keysym) return row.keyCode;
  }
  return std::nullopt;
}

uint16_t xModifiersFor(uint32_t flags) {
  uint16_t out = 0;
  if (flags & kFlagShift) out |= kShiftMask;
  if (flags & kFlagControl) out |= kControlMask;
  if (flags & kFlagOption) out |= kMod1Mask;
  if (flags & kFlagCommand) out |= kMod4Mask;
  return out;
}

uint32_t modifierFlagsFor(uint16_t x) {
  uint32_t out = 0;
  if (x & kShiftMask) out |= kFlagShift;
  if (x & kControlMask) out |= kFlagControl;
  if (x & kMod1Mask) out |= kFlagOption;
  if (x & kMod4Mask) out |= kFlagCommand;
  return out;
}

std::string keyDisplayFor(uint16_t keyCode) {
  for (const KeyRow& row : kKeys) {
    if (row.keyCode == keyCode) return row.display;
  }
  return "Key " + std::to_string(keyCode);
}

}  // namespace pallix::x11
