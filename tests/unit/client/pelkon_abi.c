/* Loads libPelkon.so the way a C monitoring program does and checks what it sees. Compiled as
 * C, so the header is proved to be C as well. */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include "client/Pelkon.h"

typedef const char* (*GetNameFn)(int32_t*, int32_t*, int32_t*);
typedef int32_t (*GetSysMsgFn)(int32_t, int32_t, int32_t, int32_t*);
typedef int32_t (*GetMsgFn)(void*, OrvMessage*);

int pelkonAbiCheck(const char* library, char* why, size_t whySize) {
  void* lib = dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (lib == NULL) {
    snprintf(why, whySize, "dlopen: %s", dlerror());
    return 0;
  }
  const char* names[] = {"orv_InitComm", "orv_CloseComm", "orv_GetMsg",     "orv_GetSysMsg",
                         "Orv_GetName",  "Orv_SetMsg",    "orv_GetHostList"};
  for (size_t i = 0; i < sizeof names / sizeof names[0]; ++i) {
    if (dlsym(lib, names[i]) == NULL) {
      snprintf(why, whySize, "%s is not exported", names[i]);
      dlclose(lib);
      return 0;
    }
  }
  int ok = 1;
  GetNameFn getName = (GetNameFn)dlsym(lib, "Orv_GetName");
  GetSysMsgFn getSysMsg = (GetSysMsgFn)dlsym(lib, "orv_GetSysMsg");
  GetMsgFn getMsg = (GetMsgFn)dlsym(lib, "orv_GetMsg");
  int32_t a = 0, b = 0, c = 0, v = 0;
  const char* name = getName(&a, &b, &c);
  OrvMessage m;
  memset(&m, 0, sizeof m);
  if (strcmp(name, "Pelkon") != 0 || a != 65512 || b != 23 || c != 131) {
    snprintf(why, whySize, "Orv_GetName gave '%s' %d %d %d", name, a, b, c);
    ok = 0;
  } else if (getSysMsg(0, 0, 0, &v) != 0 || v != 23) {
    snprintf(why, whySize, "orv_GetSysMsg gave %d", v);
    ok = 0;
  } else if (getMsg(NULL, &m) != 0) {
    snprintf(why, whySize, "orv_GetMsg on no channel delivered something");
    ok = 0;
  } else if (sizeof(OrvMessage) != 48) {
    snprintf(why, whySize, "record of %zu bytes", sizeof(OrvMessage));
    ok = 0;
  }
  dlclose(lib);
  return ok;
}
