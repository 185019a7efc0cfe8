# shellcheck shell=bash
# Plants the product's registry keys, as its installer leaves them, for the
# scenarios and the main-job command. Uses lib.sh (e2e_reg_import) only.
#
# Every key of the default listing's registry section gets the same small
# tree: two values on the key itself, a subkey "Components", and a subkey
# "Settings" holding "Paths" (the remover deletes them in the order
# Components, Settings\Paths, Settings, the key: subkeys come back from
# enumeration sorted by name). Keys under HKLM\SOFTWARE are planted in both
# views (the 32-bit one is SOFTWARE\Wow6432Node); keys that Wine shares
# between the views (Microsoft\SystemCertificates, Classes\Installer) then
# exist once. Keys under HKLM\SYSTEM are planted once each: Wine keeps
# ControlSet001 and CurrentControlSet apart, so both sets get their keys.

# The listed keys below HKLM\SOFTWARE, in listing order.
PRODUCT_SOFTWARE_KEYS=(
    'Zeltra Computing\ZeltraTSSetup'
    'Zeltra Computing\ZeltraBusinessServer'
    'Zeltra Computing\ZeltraWS'
    'Microsoft\SystemCertificates\AuthRoot\Certificates\4EB6D578499B1CCF5F581EAD56BE3D9B6744A5E5'
    'Microsoft\Windows\CurrentVersion\Installer\UpgradeCodes\8D2F61B09C3A47E5B6D1F02A9E4C7B13'
    'Microsoft\Windows\CurrentVersion\Installer\UserData\S-1-5-18\Products\17E3C0A52B46F8D41A9CE7236B0DF584'
    'Microsoft\Windows\CurrentVersion\Uninstall\{5A0C3E71-64B2-4D8F-A1C9-7E32B6D05F48}'
    'Classes\Installer\Features\17E3C0A52B46F8D41A9CE7236B0DF584'
    'Classes\Installer\Products\17E3C0A52B46F8D41A9CE7236B0DF584'
    'Classes\Installer\UpgradeCodes\8D2F61B09C3A47E5B6D1F02A9E4C7B13'
)

# The listed keys below HKLM\SYSTEM, in listing order.
PRODUCT_SYSTEM_KEYS=(
    'ControlSet001\Enum\Root\LEGACY_ZELTRABIZUPDATER'
    'ControlSet001\Enum\Root\LEGACY_ZELTRAWEBSERVER'
    'ControlSet001\Services\ZeltraBizUpdater'
    'ControlSet001\Services\ZeltraWebServer'
    'ControlSet001\Services\ZeltraBizClientSetup'
    'CurrentControlSet\Enum\Root\LEGACY_ZELTRABIZUPDATER'
    'CurrentControlSet\Enum\Root\LEGACY_ZELTRAWEBSERVER'
    'CurrentControlSet\Services\ZeltraBizUpdater'
    'CurrentControlSet\Services\ZeltraWebServer'
    'CurrentControlSet\Services\ZeltraBizClientSetup'
)

# registry_tree_reg_text 'HKEY_LOCAL_MACHINE\...' : the .reg text of one product tree.
registry_tree_reg_text() {
    local key=$1
    cat <<EOF
[$key]
"Version"="8.0.1.145"
"InstallLevel"=dword:00000001

[$key\\Components]
"Core"="installed"

[$key\\Settings]
"Port"=dword:00001f90

[$key\\Settings\\Paths]
"Data"="C:\\\\ProgramData\\\\Zeltra Computing"

EOF
}

# registry_reg_file_text KEY... : a whole .reg file (header and one tree per key).
registry_reg_file_text() {
    local key
    printf 'Windows Registry Editor Version 5.00\r\n\r\n'
    for key in "$@"; do registry_tree_reg_text "$key" | sed 's/$/\r/'; done
}

# plant_registry_trees VIEW KEY... : imports the product tree under each
# HKLM key (paths below HKLM) into VIEW (32 or 64), in one reg call.
plant_registry_trees() {
    local view=$1 file key keys=()
    shift
    for key in "$@"; do keys+=("HKEY_LOCAL_MACHINE\\$key"); done
    file="$E2E_TEST_DIR/plant-$view-$RANDOM.reg"
    registry_reg_file_text "${keys[@]}" >"$file"
    e2e_reg_import "$view" "$file" || e2e_fail "reg import of $file into the $view-bit view failed"
}

# plant_product_registry : all 20 listed keys with their trees.
plant_product_registry() {
    local key software=() system=()
    for key in "${PRODUCT_SOFTWARE_KEYS[@]}"; do software+=("SOFTWARE\\$key"); done
    for key in "${PRODUCT_SYSTEM_KEYS[@]}"; do system+=("SYSTEM\\$key"); done
    plant_registry_trees 32 "${software[@]}"
    plant_registry_trees 64 "${software[@]}" "${system[@]}"
}
