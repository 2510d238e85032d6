#pragma once

#include <QCoreApplication>

// What the unpacking reports to the user (the status line, a balloon) is translatable, in the
// unpacker's context whichever part of it finds the fault, so translators see it as one piece.
class InstallText
{
    Q_DECLARE_TR_FUNCTIONS(ArchiveUnpacker)
};
