// The portable error for a C library error number, on every system.
#include <cerrno>

#include "platform/SerialDevice.h"

namespace platform {

ESerialError SerialErrorFromErrno(int errorNumber)
{
    switch (errorNumber) {
    case 0: return ESerialError::None;
    case ENOENT:
    case ENODEV:
    case ENXIO:
    case ENOTDIR: return ESerialError::NotFound;
    case EBUSY:
    case EWOULDBLOCK: return ESerialError::InUse;
    case EACCES:
    case EPERM:
    case EROFS: return ESerialError::PermissionDenied;
    case EINVAL:
    case ENOTTY: return ESerialError::BadSetting;
    case EIO:
    case EPIPE: return ESerialError::Gone;
    default: return ESerialError::Other;
    }
}

}  // namespace platform
