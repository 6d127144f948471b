// The management listener on TCP port 53350: "scan" and "query", each sent
// as the bare word in one send, answered on the same connection.
#pragma once

// Thread body: runs the management listener until the stop flag or a
// failure of a listener step.
void* orvane_management_thread(void* unused);
int orvane_management_socket();
