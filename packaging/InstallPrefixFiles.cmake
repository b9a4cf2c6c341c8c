# Runs at install time (cmake --install, or CPack's staging install): makes the files that name
# the prefix in force then. Expects RS232_PACKAGING_SOURCE (this directory).

set(prefix "${CMAKE_INSTALL_PREFIX}")
if(prefix STREQUAL "/usr")
  set(sysconf "/etc")
elseif(prefix MATCHES "^/opt/")
  set(sysconf "/etc${prefix}")
else()
  set(sysconf "${prefix}/etc")
endif()
set(root "$ENV{DESTDIR}")

# The systemd unit, naming the installed executable.
set(RS232_BINDIR "${prefix}/bin")
file(READ "${RS232_PACKAGING_SOURCE}/rs232-server@.service.in" unit)
string(CONFIGURE "${unit}" unit @ONLY)
set(unitFile "${root}${prefix}/lib/systemd/system/rs232-server@.service")
message(STATUS "Installing: ${unitFile}")
file(WRITE "${unitFile}" "${unit}")
file(CHMOD "${unitFile}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${unitFile}")

# The settings file: an existing one is the administrator's and stays as it is.
set(settings "${root}${sysconf}/rs232-server.ini")
if(EXISTS "${settings}" OR IS_SYMLINK "${settings}")
  message(STATUS "Keeping existing settings: ${settings}")
else()
  # file(INSTALL) adds DESTDIR itself.
  file(INSTALL "${RS232_PACKAGING_SOURCE}/rs232-server.ini" DESTINATION "${sysconf}"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()

# Beside the executable, where the server looks: a symlink to it. A real file there holds
# settings from before and is left alone.
set(link "${root}${prefix}/bin/rs232-server.ini")
if(EXISTS "${link}" AND NOT IS_SYMLINK "${link}")
  message(STATUS "Keeping existing settings: ${link}")
else()
  message(STATUS "Installing: ${link} -> ${sysconf}/rs232-server.ini")
  file(REMOVE "${link}")
  file(CREATE_LINK "${sysconf}/rs232-server.ini" "${link}" SYMBOLIC)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${link}")
endif()
