// mpx_conversation.cpp - to be written
