// mpx_settings.cpp - to be written
