#include "core/server_globals.h"

char my_os_arch[128];
char qav_header[128];
char my_host_name[128];
const char build[] = "v2.2006.002";

std::atomic<int> orvane_exiting{0};
