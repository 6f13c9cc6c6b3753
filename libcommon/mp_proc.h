// mp_proc.h - find, terminate and start other processes by the file name of their image.
#pragma once

void MP_kernel32_Start();
int MP_check_process(const char* image_name);
int MP_KillProc(const char* image_name);
int MP_run_program(const char* program, const char* argument);
int MP_restart_program(const char* program, const char* argument);
