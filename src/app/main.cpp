#include "app/CLMain.h"
#include "app/uMain.h"

int main(int argc, char *argv[]) {
  TfrmMain *frmMain = nullptr;
  return CLMainRun<TfrmMain>(argc, argv, frmMain);
}
