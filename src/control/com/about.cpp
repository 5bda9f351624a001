// The About box: the control's icon, name and version, closed by OK (or by
// Escape and the close box, which send IDCANCEL).
#include "control/com/control_object.h"
#include "control/com/module.h"
#include "control/com/resource.h"

namespace qelcomm::com {
namespace {

INT_PTR CALLBACK AboutProc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
  if (message == WM_INITDIALOG) return TRUE;
  if (message == WM_COMMAND && (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL)) {
    EndDialog(dialog, LOWORD(wparam));
    return TRUE;
  }
  return FALSE;
}

}  // namespace

void ControlObject::ShowAboutBox(HWND owner) {
  DialogBoxParamW(ModuleInstance(), MAKEINTRESOURCEW(IDD_ABOUTBOX_QELCOMM), owner, AboutProc, 0);
}

}  // namespace qelcomm::com
