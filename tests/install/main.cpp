// Links against the installed library and uses its public headers.
#include <cstdio>

#include <qelcomm/QelCommCtrl.h>

int main() {
  qelcomm::CQelCommCtrl ctrl;
  if (ctrl.Retries() != 5 || ctrl.Baud() != 19200) return 1;
  if (ctrl.GetParamNumFromName(1, "P_SOLL") != 3) return 1;
  std::puts("installed qelcomm: ok");
  return 0;
}
