// The handle owners' contract, on objects of this process, and the access
// lists of what the setup creates.
#include <windows.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include "winbase/Handles.h"
#include "winbase/Security.h"

TEST(Handles, NothingIsTheKindsOwnValuePutClosesFirstAndResetKeepsTheLastError) {
  // A file call that fails returns INVALID_HANDLE_VALUE, not null.
  EXPECT_FALSE(handles::UniqueFile(CreateFileA("C:\\no such file", GENERIC_READ, 0, nullptr,
                                               OPEN_EXISTING, 0, nullptr)));
  handles::UniqueKernelHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
  const HANDLE held = event.get();
  EXPECT_EQ(*event.put(), nullptr);
  DWORD flags = 0;
  EXPECT_FALSE(GetHandleInformation(held, &flags)) << "still open after put()";
  // A close that fails leaves the error the caller is about to read.
  handles::UniqueWindow gone(
      CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr));
  ASSERT_TRUE(DestroyWindow(gone.get()));
  SetLastError(ERROR_PATH_NOT_FOUND);
  gone.reset();
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
}

// The private form of an access list, as the system writes it out: full
// control (FA) for Administrators (BA) and the system (SY), nothing
// inherited, and nobody else. Wine keeps no access lists on files to read
// back, so the descriptor itself is read.
TEST(AccessList, APrivateOneNamesAdministratorsAndTheSystemAlone) {
  AccessList list;
  ASSERT_TRUE(list.Make(AccessList::Kind::Private));
  LPSTR text = nullptr;
  ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorA(
      list.Attributes()->lpSecurityDescriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
      nullptr));
  EXPECT_STREQ(text, "D:(A;;FA;;;BA)(A;;FA;;;SY)");
  LocalFree(text);
}
