// The .mqh's wrappers in C++; see mql4_kit.h.
#include "mql4_kit.h"

#include <cstring>

namespace {

constexpr unsigned kWmKeyDown = 0x0100;
constexpr unsigned kWmKeyUp = 0x0101;
constexpr unsigned kWmTimer = 0x0113;
constexpr unsigned kWmLButtonUp = 0x0202;
constexpr unsigned kWmQuit = 0x0012;
constexpr int kVkReturn = 0x0D;
constexpr int kVkEscape = 0x1B;
constexpr int kVkSpace = 0x20;
constexpr unsigned kPmRemove = 1;

HMODULE ModuleFor(const char* module, HMODULE dll) {
  if (std::strcmp(module, "parambridge") == 0) return dll;
  const std::string name = std::string(module) + ".dll";
  HMODULE loaded = GetModuleHandleA(name.c_str());
  return loaded ? loaded : LoadLibraryA(name.c_str());
}

template <typename Fn>
Fn Lookup(HMODULE module, const char* name) {
  return module ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)))
                : nullptr;
}

}  // namespace

bool ResolveImports(HMODULE dll, Mql4Imports& im, std::string& missing) {
  missing.clear();
#define PB_RESOLVE(module, name, convention, argBytes)                     \
  im.name = Lookup<mql4::name>(ModuleFor(#module, dll), #name);            \
  if (!im.name) missing += std::string(missing.empty() ? "" : ", ") + #module ".dll!" #name;
  PB_MQL4_IMPORTS(PB_RESOLVE)
#undef PB_RESOLVE
  im.GetLastErrorCode = Lookup<host::GetLastErrorCode>(dll, "_GetLastErrorCode@0");
  if (!im.GetLastErrorCode) missing += std::string(missing.empty() ? "" : ", ") + "_GetLastErrorCode@0";
  return missing.empty();
}

// StringToCharArray(text, bytes): the bytes and the terminating NUL.
std::vector<mql4::uchar> Kit::PbText(const std::string& text) {
  std::vector<mql4::uchar> bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}

std::string Kit::PbReadText(mql4::Handle address) const {
  if (address == 0) return "";
  const int length = im_.lstrlenA(address);
  if (length <= 0) return "";
  std::vector<mql4::uchar> bytes(static_cast<std::size_t>(length) + 1);
  im_.lstrcpynA(bytes.data(), address, length + 1);
  return std::string(bytes.begin(), bytes.begin() + length);  // CharArrayToString
}

int Kit::PbLoadParameters(const std::string& account, int accountType) const {
  std::vector<mql4::uchar> bytes = PbText(account);
  return im_.LoadParameters(bytes.data(), accountType);
}

std::string Kit::PbLastErrorDescription() const {
  mql4::uchar buffer[256] = {};
  im_.GetLastErrorDescription(buffer);
  buffer[255] = 0;
  return std::string(reinterpret_cast<const char*>(buffer));
}

mql4::Handle Kit::PbMakeWindow(const std::string& title, int x, int y, int width, int height,
                               int placement) const {
  std::vector<mql4::uchar> bytes = PbText(title);
  return im_.UIMakeWindow(bytes.data(), x, y, width, height, placement, 0);
}

mql4::Handle Kit::PbAddLabel(const std::string& text, int x, int y, int height, int width) const {
  std::vector<mql4::uchar> bytes = PbText(text);
  return im_.UIAddLabel(bytes.data(), x, y, height, width);
}

mql4::Handle Kit::PbAddTextBox(const std::string& text, int x, int y, int height, int width,
                               bool password, bool focus) const {
  std::vector<mql4::uchar> bytes = PbText(text);
  return im_.UIAddTextBox(bytes.data(), x, y, height, width, password ? 1 : 0, focus ? 1 : 0);
}

mql4::Handle Kit::PbAddCheckbox(bool checked, const std::string& text, int x, int y,
                                int height, int width) const {
  std::vector<mql4::uchar> bytes = PbText(text);
  return im_.UIAddCheckbox(checked ? 1 : 0, bytes.data(), x, y, height, width);
}

int Kit::PbSetText(mql4::Handle handle, const std::string& text) const {
  std::vector<mql4::uchar> bytes = PbText(text);
  return im_.UISetText(handle, bytes.data());
}

void Kit::PbDialogInit(PbDialog& dialog, mql4::Handle host) {
  dialog = PbDialog{};
  dialog.host = host;
}

mql4::Handle Kit::PbDialogAddButton(PbDialog& dialog, const std::string& text, int x, int y,
                                    int height, int width) const {
  std::vector<mql4::uchar> bytes = PbText(text);
  const mql4::Handle handle = im_.UIAddButton(bytes.data(), x, y, height, width);
  if (handle != 0 && dialog.buttons < PB_MAX_BUTTONS) {
    dialog.handle[dialog.buttons] = handle;
    dialog.width[dialog.buttons] = width;
    dialog.height[dialog.buttons] = height;
    dialog.buttons++;
  }
  return handle;
}

bool Kit::PbDialogSetTimer(PbDialog& dialog, mql4::Id id, int seconds) const {
  if (im_.UIAddTimer(id, seconds) == 0) return false;
  dialog.timer = id;
  return true;
}

int Kit::PbDialogEvent(PbDialog& dialog, const mql4::PbMsg& msg) {
  if (msg.message == kWmTimer && dialog.timer != 0 &&
      static_cast<mql4::Id>(msg.wParam) == dialog.timer && msg.hwnd == dialog.host)
    return PB_DIALOG_TICK;
  if (msg.message == kWmKeyDown && msg.wParam == kVkReturn) return PB_DIALOG_ENTER;
  if (msg.message == kWmKeyDown && msg.wParam == kVkEscape) return PB_DIALOG_ESCAPE;
  for (int i = 0; i < dialog.buttons; i++) {
    if (msg.hwnd != dialog.handle[i]) continue;
    if (msg.message == kWmKeyUp && msg.wParam == kVkSpace) {
      dialog.button = msg.hwnd;
      return PB_DIALOG_BUTTON;
    }
    if (msg.message == kWmLButtonUp) {
      int x = static_cast<int>(msg.lParam & 0xFFFF);
      int y = static_cast<int>((msg.lParam >> 16) & 0xFFFF);
      if (x >= 0x8000) x -= 0x10000;
      if (y >= 0x8000) y -= 0x10000;
      if (x >= 0 && y >= 0 && x < dialog.width[i] && y < dialog.height[i]) {
        dialog.button = msg.hwnd;
        return PB_DIALOG_BUTTON;
      }
    }
  }
  return PB_DIALOG_NONE;
}

int Kit::PbRunDialog(PbDialog& dialog, DWORD deadlineTick) const {
  mql4::PbMsg msg = {};
  while (static_cast<LONG>(GetTickCount() - deadlineTick) < 0) {  // !IsStopped()
    if (im_.IsWindow(dialog.host) == 0) return PB_DIALOG_CLOSED;
    if (im_.PeekMessageA(&msg, dialog.host, 0, 0, kPmRemove) == 0) {
      Sleep(20);
      continue;
    }
    const int what = PbDialogEvent(dialog, msg);
    if (im_.IsDialogMessageA(dialog.host, &msg) == 0) {
      im_.TranslateMessage(&msg);
      im_.DispatchMessageA(&msg);
    }
    if (what != PB_DIALOG_NONE) return what;
  }
  return PB_DIALOG_STOPPED;
}

void Kit::PbFinish() const {
  im_.UIFinish();
  mql4::PbMsg msg = {};
  im_.PeekMessageA(&msg, 0, kWmQuit, kWmQuit, kPmRemove);
}
