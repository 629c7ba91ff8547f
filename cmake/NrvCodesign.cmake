# The development signing authority and the signing of built programs.
#
# At configure time (once per build folder) this makes, with the openssl
# program, a root certificate kept in the build's anchors folder, an
# intermediate carrying the developer-certificate marker extension, and leaf
# certificates with organisation "Nerova" and the team identifier as
# organisational unit (plus a leaf of another maker, for tests). The checks
# trust the anchors folder as they would the platform vendor's developer
# authority.

set(NRV_CODESIGN_TEAM_ID "N7QRV4K2XD" CACHE STRING "Team identifier of the product's signing certificates")
set(NRV_CODESIGN_DIR "${CMAKE_BINARY_DIR}/codesign")
set(NRV_CODESIGN_ANCHORS_DIR "${NRV_CODESIGN_DIR}/anchors" CACHE PATH "Folder of the anchor certificates the signature checks trust")
option(NRV_CODESIGN_POLICY_OVERRIDE "Honour NRV_CODESIGN_POLICY (test builds; turn off for release builds)" ON)

find_program(NRV_OPENSSL_EXECUTABLE openssl REQUIRED)

function(_nrv_openssl)
  execute_process(COMMAND ${NRV_OPENSSL_EXECUTABLE} ${ARGN}
                  WORKING_DIRECTORY ${NRV_CODESIGN_DIR}
                  RESULT_VARIABLE _rc OUTPUT_QUIET ERROR_VARIABLE _err)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "openssl ${ARGN} failed: ${_err}")
  endif()
endfunction()

# Issues a certificate for a fresh key: _nrv_issue(<name> <subject> <extensions> <issuer name>)
function(_nrv_issue name subject extensions issuer)
  _nrv_openssl(genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ${name}.key)
  _nrv_openssl(req -new -key ${name}.key -subj ${subject} -config authority.cnf -out ${name}.csr)
  string(RANDOM LENGTH 12 ALPHABET 0123456789 _serial)
  _nrv_openssl(x509 -req -in ${name}.csr -CA ${issuer}.pem -CAkey ${issuer}.key -set_serial 1${_serial}
               -days 7300 -sha256 -extfile authority.cnf -extensions ${extensions} -out ${name}.pem)
  file(REMOVE ${NRV_CODESIGN_DIR}/${name}.csr)
endfunction()

if(NOT EXISTS "${NRV_CODESIGN_DIR}/leaf.pem")
  file(MAKE_DIRECTORY ${NRV_CODESIGN_DIR} ${NRV_CODESIGN_DIR}/anchors)
  file(WRITE ${NRV_CODESIGN_DIR}/authority.cnf [=[
[req]
distinguished_name = dn
[dn]
[root]
basicConstraints = critical,CA:TRUE
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[intermediate]
basicConstraints = critical,CA:TRUE,pathlen:0
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
1.2.840.113635.100.6.2.6 = ASN1:NULL
[leaf]
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = critical,codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
]=])
  _nrv_openssl(genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out root.key)
  _nrv_openssl(req -x509 -new -key root.key -subj "/O=Nerova Development Authority/CN=Nerova Development Root CA"
               -days 7300 -sha256 -config authority.cnf -extensions root -out root.pem)
  _nrv_issue(intermediate "/O=Nerova Development Authority/CN=Nerova Development Certification Authority" intermediate root)
  _nrv_issue(leaf "/CN=Developer ID Application: Nerova (${NRV_CODESIGN_TEAM_ID})/OU=${NRV_CODESIGN_TEAM_ID}/O=Nerova" leaf intermediate)
  _nrv_issue(other-leaf "/CN=Developer ID Application: Other Maker (QZ9OTHER01)/OU=QZ9OTHER01/O=Other Maker" leaf intermediate)
  file(COPY ${NRV_CODESIGN_DIR}/root.pem DESTINATION ${NRV_CODESIGN_DIR}/anchors)
  file(GLOB _keys ${NRV_CODESIGN_DIR}/*.key)
  file(CHMOD ${_keys} PERMISSIONS OWNER_READ OWNER_WRITE)
endif()

# The checks use anchors and policy files only when nobody but their owner
# can write them (nor the folders above): whatever the umask, keep them so.
file(GLOB _anchor_files ${NRV_CODESIGN_DIR}/anchors/*)
file(CHMOD ${NRV_CODESIGN_DIR} ${NRV_CODESIGN_DIR}/anchors
     PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
if(_anchor_files)
  file(CHMOD ${_anchor_files} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()

# A policy for tests: the compiled-in team and organisation, the build's
# anchors, and the build's bin folder as the one place programs run from.
file(WRITE ${NRV_CODESIGN_DIR}/test-policy.plist "<?xml version=\"1.0\" encoding=\"UTF-8\"?>
<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">
<plist version=\"1.0\">
<dict>
  <key>TeamIdentifier</key><string>${NRV_CODESIGN_TEAM_ID}</string>
  <key>Organization</key><string>Nerova</string>
  <key>AnchorsFolder</key><string>${NRV_CODESIGN_ANCHORS_DIR}</string>
  <key>AllowedPathPrefixes</key><array><string>${CMAKE_BINARY_DIR}/bin</string></array>
  <key>ServiceUser</key><integer>0</integer>
</dict>
</plist>
")
file(CHMOD ${NRV_CODESIGN_DIR}/test-policy.plist PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# Signs a target after every link, with the hardened-runtime flag:
#   nrv_sign_target(<target> [IDENTIFIER <id>] [ENTITLEMENTS <plist>])
# The identifier defaults to com.nerova.<target>.
function(nrv_sign_target target)
  cmake_parse_arguments(ARG "" "IDENTIFIER;ENTITLEMENTS" "" ${ARGN})
  if(NOT ARG_IDENTIFIER)
    set(ARG_IDENTIFIER "com.nerova.${target}")
  endif()
  set(_ent)
  if(ARG_ENTITLEMENTS)
    set(_ent --entitlements ${ARG_ENTITLEMENTS})
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND $<TARGET_FILE:nrv-codesign> sign --identifier ${ARG_IDENTIFIER} --hardened ${_ent}
            --key ${NRV_CODESIGN_DIR}/leaf.key --cert ${NRV_CODESIGN_DIR}/leaf.pem
            --cert ${NRV_CODESIGN_DIR}/intermediate.pem -- $<TARGET_FILE:${target}>
    VERBATIM)
  if(NOT target STREQUAL "nrv-codesign")
    add_dependencies(${target} nrv-codesign)
  endif()
endfunction()
