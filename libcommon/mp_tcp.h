// mp_tcp.h - the server connection: endless connect loop, whole-text send, chained receive.
#pragma once

#include "vp.h"

extern char MP_Global_IPAddress[28];
extern int MP_Global_Port;
extern vp_socket MP_Global_Socket;
extern int MP_Global_Connected;

int TCP_Start(const char* tag);
void Ttcp_converthostname(const char* tag, char* host);
int MP_Send(const char* text);
int MP_recv(const char* tag, char* buffer, int capacity);

// Defined by each program: the conversation on one established connection.
int MP_Process_incoming(const char* tag);
