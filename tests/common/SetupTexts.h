// The setup's messages as the user must read them, spelt out once for every
// test that checks them, and apart from the program's own copies so that a
// slip in either shows.
#pragma once

namespace texts {

inline constexpr char Welcome[] =
    "Welcome to Pavlane (TM) v3.03 Setup Program.\r\n"
    "This program will install Pavlane on your computer.\r\n\r\n"
    "Before  proceeding, we recommend that you close all applications you may be running.\r\n\r\n"
    "   Copyright (C) 1996-2003 VelmoraSoft Ltd.\r\n"
    "                 http://www.velmsoft.com\r\n\r\n"
    "Pavlane is a trademark of VelmoraSoft Ltd.\r\n";
inline constexpr char Success[] =
    "Pavlane has been successfully installed.\r\rTo run the application, click the START "
    "button, then point to PROGRAMS, and select PAVLANE ORBIT SUITE.";
inline constexpr char RestartQuestion[] =
    "The Pavlane icon has been placed in the PROGRAMS menu.\r\rYou should restart your "
    "computer to complete the Pavlane setup. Would you like to do it now?";
inline constexpr char Completed[] =
    "The installation process has been completed. When you restart the computer, you may "
    "launch Pavlane by clicking onto the corresponding icon in the Programs menu.";
inline constexpr char Corrupted[] =
    "Unable to extract data as the Setup file has been corrupted.\r\r"
    "You should obtain a correct copy by visiting the VelmoraSoft home page at "
    "http://www.velmsoft.com.";
inline constexpr char ExitQuestion[] =
    "Setup is not complete yet. Are you sure you want to exit setup now?";
inline constexpr char LowSpaceWarning[] =
    "There is not enough disk space on the destination drive (at least 5MB recommended). "
    "This may cause errors while installing or running Pavlane.\r\r"
    "Would you, nevertheless, wish to proceed now?";
inline constexpr char Permission[] =
    "You do not have enough permissions to install Pavlane.\r\rPlease, log on as administrator.";

}  // namespace texts
