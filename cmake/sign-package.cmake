# Run by CPack after staging the release package, before zipping it: signs
# both EXEs with Authenticode when a certificate is given, then writes the
# SHA-256 sums of what the package ships.
#
#   DURUVUDE_SIGN_PKCS12         PKCS#12 file (.pfx/.p12) with the code-signing
#                                certificate, its chain and its private key
#   DURUVUDE_SIGN_PASSWORD       its password
#   DURUVUDE_SIGN_TIMESTAMP_URL  optional: an RFC 3161 time-stamp server
#   DURUVUDE_SIGN_TIME           optional: the signing time, in Unix seconds
#                                (a fixed time makes signing reproducible)
#
# Only the staged copies are signed: the build outputs, their
# reproducibility check and their size limit stay on the unsigned EXEs.

# The staged tree: one top-level folder holding the package's files.
file(GLOB stage LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
list(LENGTH stage count)
if(NOT count EQUAL 1 OR NOT EXISTS "${stage}/DURUVUDE.EXE")
  set(stage "${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
set(exes DURUVUDE.EXE x86/DURUVUDE.EXE KTRXHELP.EXE x86/KTRXHELP.EXE)
# The arm64 package folder, where the release has one: its programs are
# signed, its driver (signed by its maker) and script only summed.
set(summed_only)
if(EXISTS "${stage}/arm64/DURUVUDE.EXE")
  list(APPEND exes arm64/DURUVUDE.EXE arm64/KTRXHELP.EXE)
  set(summed_only arm64/KTRX.SYS arm64/KTRX-DEPLOY.CMD)
endif()
# The Windows Installer packages, where a driver image was given; their
# tables are final here, so a signature now stays valid.
file(GLOB msis RELATIVE "${stage}" "${stage}/*.msi")
if(msis)
  list(APPEND exes ${msis})
  message(STATUS "DURUVUDE package: Windows Installer packages ${msis}")
else()
  message(STATUS "DURUVUDE package: no Windows Installer package: no driver image was given (-DKTRX_SYS=PATH, -DKTRX_SYS_X86=PATH, -DKTRX_SYS_ARM64=PATH)")
endif()

if(NOT "$ENV{DURUVUDE_SIGN_PKCS12}" STREQUAL "")
  find_program(OSSLSIGNCODE osslsigncode)
  if(NOT OSSLSIGNCODE)
    message(FATAL_ERROR "DURUVUDE package: osslsigncode is needed to sign (scripts/setup.sh installs it)")
  endif()
  # The password goes through a file of the package's work folder, never the
  # command line, and is removed at once.
  set(passfile "${CPACK_TEMPORARY_DIRECTORY}/../sign-password")
  file(WRITE "${passfile}" "$ENV{DURUVUDE_SIGN_PASSWORD}")
  set(options -pkcs12 "$ENV{DURUVUDE_SIGN_PKCS12}" -readpass "${passfile}" -h sha256
              -n "Tolvane Kestrix driver install/uninstall utility")
  if(NOT "$ENV{DURUVUDE_SIGN_TIMESTAMP_URL}" STREQUAL "")
    list(APPEND options -ts "$ENV{DURUVUDE_SIGN_TIMESTAMP_URL}")
  endif()
  if(NOT "$ENV{DURUVUDE_SIGN_TIME}" STREQUAL "")
    list(APPEND options -time "$ENV{DURUVUDE_SIGN_TIME}")
  endif()
  foreach(exe ${exes})
    execute_process(COMMAND "${OSSLSIGNCODE}" sign ${options} -in "${stage}/${exe}" -out "${stage}/${exe}.signed"
                    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT result EQUAL 0)
      file(REMOVE "${passfile}" "${stage}/${exe}.signed")
      message(FATAL_ERROR "DURUVUDE package: signing ${exe} failed:\n${output}")
    endif()
    file(RENAME "${stage}/${exe}.signed" "${stage}/${exe}")
  endforeach()
  file(REMOVE "${passfile}")
  message(STATUS "DURUVUDE package: ${exes} signed with $ENV{DURUVUDE_SIGN_PKCS12}")
else()
  message(STATUS "DURUVUDE package: the EXEs are NOT signed (set DURUVUDE_SIGN_PKCS12 and DURUVUDE_SIGN_PASSWORD to sign them)")
endif()

# The guide with Windows line ends: older Notepads show an LF file as one line.
file(READ "${stage}/ADMIN-GUIDE.txt" guide)
string(REPLACE "\r\n" "\n" guide "${guide}")
string(REPLACE "\n" "\r\n" guide "${guide}")
file(WRITE "${stage}/ADMIN-GUIDE.txt" "${guide}")

execute_process(COMMAND sha256sum ${exes} ${summed_only} ADMIN-GUIDE.txt KTRX-DEPLOY.CMD KTRX-DETECT.PS1
                WORKING_DIRECTORY "${stage}"
                OUTPUT_FILE "${stage}/SHA256SUMS" RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "DURUVUDE package: cannot write SHA256SUMS")
endif()
