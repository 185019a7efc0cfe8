# shellcheck shell=bash
# shellcheck disable=SC2034,SC2016  # names used by the scenarios; $ in service names
# The product's private SQL Server instance VUVURIDIVUZO, planted the way
# SQL Server's setup leaves it, for the scenarios of the complete removal:
# its Windows Installer package (a real MSI, built with wixl from
# tests/e2e/msi/vuvuridivuzo.wxs and installed with msiexec), its
# registration, its service, the SqlWriter service and its instance folder.
#
# The removal tool is a 32-bit program and opens SQL Server's root key
# without a view flag, so it reads the registration in the 32-bit view
# (HKLM\SOFTWARE\Wow6432Node\Microsoft\Microsoft SQL Server): that is where
# it is planted. The instance's own keys are planted in both views, since
# the tool deletes HKLM keys in both.
#
# Uses lib.sh and the tools in C:\e2e\ (e2e_tool.exe, test_service.exe).
# Source it from a scenario file; call plant_sql_instance in a scenario.

SQL_PLANT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

SQL_PACKAGE_CODE='{7A1E2C3D-4B5F-4C6D-8E9F-0A1B2C3D4E5F}'
# The same code as the Installer packs it in its product keys.
SQL_PACKAGE_PACKED='D3C2E1A7F5B4D6C4E8F9A0B1C2D3E4F5'
SQL_PACKAGE_FILE='C:\Program Files (x86)\VUVURIDIVUZO Package\package.txt'
SQL_INSTANCE_ID='MSSQL10.VUVURIDIVUZO'
SQL_PROGRAM_DIR='C:\Program Files\Microsoft SQL Server'
SQL_INSTANCE_DIR="$SQL_PROGRAM_DIR\\$SQL_INSTANCE_ID"
# The instance folder's files, relative to it.
SQL_INSTANCE_FILES=('MSSQL\Binn\sqlservr.exe' 'MSSQL\DATA\master.mdf' 'MSSQL\DATA\mastlog.ldf'
    'MSSQL\Log\ERRORLOG' 'sql_engine_core_inst.log')
# Held open by a helper during the run, so its deletion is queued.
SQL_LOCKED_FILE="$SQL_INSTANCE_DIR\\MSSQL\\DATA\\master.mdf"
# Paths below HKLM, for reg (with the view) and e2e_tool.
SQL_ROOT='SOFTWARE\Microsoft\Microsoft SQL Server'
SQL_MAP="$SQL_ROOT\\Instance Names\\SQL"
SQL_UNINSTALL_KEY="SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$SQL_PACKAGE_CODE"
# Two other instances around ours: one that merely contains our name, which
# is another instance's registration and must be kept.
SQL_INSTANCES_BEFORE=(SQLEXPRESS VUVURIDIVUZO VUVURIDIVUZO2)
SQL_INSTANCES_AFTER=(SQLEXPRESS VUVURIDIVUZO2)

# sql_multi_sz_hex NAME... -> the REG_MULTI_SZ bytes of the names in hex:
# each name with its NUL, then the final NUL.
sql_multi_sz_hex() {
    local name hex=''
    for name in "$@"; do hex+=$(printf '%s' "$name" | od -An -tx1 | tr -d ' \n')00; done
    printf '%s00\n' "$hex"
}

# sql_value_hex VIEW PATH NAME -> "type=N size=N hex=..." or "absent".
sql_value_hex() {
    e2e_wine 'C:\e2e\e2e_tool.exe' value-hex "$1" "$2" "$3" | tr -d '\r'
}

# sql_key_exists VIEW PATH -> status 0 when HKLM\PATH exists in that view.
sql_key_exists() {
    [[ $(e2e_wine 'C:\e2e\e2e_tool.exe' key-exists "$1" "$2" | tr -d '\r') == yes ]]
}

# sql_existing_keys VIEW PATH... -> the PATHs that exist in that view, one a line.
sql_existing_keys() {
    local view=$1
    shift
    e2e_wine 'C:\e2e\e2e_tool.exe' keys-exist "$view" "$@" | tr -d '\r' | sed -n 's/^yes //p'
}

# sql_service_query NAME -> "state=N start=N" or "absent".
sql_service_query() {
    e2e_wine 'C:\e2e\e2e_tool.exe' service-query "$1" | tr -d '\r'
}

# plant_sql_package: builds the package in C:\e2e\ and installs it silently.
plant_sql_package() {
    wixl -o "$WINEPREFIX/drive_c/e2e/vuvuridivuzo.msi" "$SQL_PLANT_DIR/../msi/vuvuridivuzo.wxs" ||
        e2e_fail "wixl could not build the instance package"
    e2e_wine msiexec /i 'C:\e2e\vuvuridivuzo.msi' /qn || e2e_fail "msiexec /i exited $?"
    e2e_exists "$SQL_PACKAGE_FILE" || e2e_fail "the package did not install $SQL_PACKAGE_FILE"
    sql_key_exists 32 "$SQL_UNINSTALL_KEY" || e2e_fail "the package left no Uninstall entry"
}

# sql_reg_text VIEW : the .reg text of the registration in one view (LF
# ends). Only the 32-bit view, the one the tool reads, gets the instance
# list, map and setup values; the instance's own keys go to both views.
sql_reg_text() {
    local root="HKEY_LOCAL_MACHINE\\$SQL_ROOT" name hex
    echo 'Windows Registry Editor Version 5.00'
    echo
    if [[ $1 == 32 ]]; then
        hex=$(sql_multi_sz_hex "${SQL_INSTANCES_BEFORE[@]}" | sed 's/../&,/g; s/,$//')
        printf '[%s]\n"InstalledInstances"=hex(7):%s\n\n' "$root" "$hex"
        printf '[%s\\Instance Names\\SQL]\n' "$root"
        for name in "${SQL_INSTANCES_BEFORE[@]}"; do printf '"%s"="MSSQL10.%s"\n' "$name" "$name"; done
        printf '\n[%s\\%s\\Setup]\n' "$root" "$SQL_INSTANCE_ID"
        printf '"SqlProgramDir"="%s"\n"ProductCode"="%s"\n\n' "${SQL_PROGRAM_DIR//\\/\\\\}" "$SQL_PACKAGE_CODE"
    else
        # Wine has no ControlSet001 of its own; Windows links it to
        # CurrentControlSet. HKLM\SYSTEM is one tree for both views.
        printf '[HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001\\Services\\MSSQL$VUVURIDIVUZO\\Parameters]\n'
        printf '"Start"="3"\n\n'
    fi
    printf '[%s\\%s\\MSSQLServer\\Parameters]\n"SQLArg0"="-dmaster.mdf"\n\n' "$root" "$SQL_INSTANCE_ID"
    printf '[%s\\VUVURIDIVUZO\\Setup]\n"Edition"="Express Edition"\n\n' "$root"
    printf '[%s\\MSSQL10.VUVURIDIVUZO2\\Setup]\n"SqlProgramDir"="%s"\n\n' "$root" "${SQL_PROGRAM_DIR//\\/\\\\}"
}

# plant_sql_registration: the instance list, the instance map and the
# instance's keys, with the other instances' registration beside them.
plant_sql_registration() {
    local view file
    for view in 32 64; do
        file="$E2E_TEST_DIR/sql-$view.reg"
        sql_reg_text "$view" | sed 's/$/\r/' >"$file"
        e2e_reg_import "$view" "$file" || e2e_fail "reg import of $file into the $view-bit view failed"
    done
    [[ $(sql_value_hex 32 "$SQL_ROOT" InstalledInstances) == "type=7 size=$((11 + 13 + 14 + 1)) hex=$(sql_multi_sz_hex "${SQL_INSTANCES_BEFORE[@]}")" ]] ||
        e2e_fail "InstalledInstances planted as $(sql_value_hex 32 "$SQL_ROOT" InstalledInstances)"
}

# plant_sql_services: the instance's service (stopped at once on request)
# and SqlWriter, both running; SqlWriter starts automatically.
plant_sql_services() {
    e2e_wine 'C:\e2e\e2e_tool.exe' service-create 'MSSQL$VUVURIDIVUZO' 'C:\e2e\test_service.exe prompt' demand
    e2e_wine 'C:\e2e\e2e_tool.exe' service-start 'MSSQL$VUVURIDIVUZO'
    e2e_wine 'C:\e2e\e2e_tool.exe' service-create SqlWriter 'C:\e2e\test_service.exe prompt' auto
    e2e_wine 'C:\e2e\e2e_tool.exe' service-start SqlWriter
    e2e_expect_eq "$(sql_service_query SqlWriter)" 'state=4 start=2' "SqlWriter as planted"
}

# plant_sql_folder: the instance folder with its files, and another
# instance's folder beside it that must stay.
plant_sql_folder() {
    local f
    for f in "${SQL_INSTANCE_FILES[@]}"; do
        e2e_plant_file "$SQL_INSTANCE_DIR\\$f" "$f"
    done
    e2e_plant_file "$SQL_PROGRAM_DIR\\MSSQL10.VUVURIDIVUZO2\\MSSQL\\DATA\\master.mdf" 'another instance'
}

# plant_sql_hold_file: holds the locked file open from a helper process
# for up to 90 s; sets SQL_HOLD_PID (end it with kill when done).
plant_sql_hold_file() {
    local n out i
    n=$(find "$E2E_TEST_DIR" -maxdepth 1 -name 'start-*.out' | wc -l)
    out="$E2E_TEST_DIR/start-$n.out"
    e2e_start 'C:\e2e\e2e_tool.exe' hold-file "$SQL_LOCKED_FILE" 90
    SQL_HOLD_PID=$E2E_PID
    for ((i = 0; i < 200; i++)); do
        grep -q held "$out" 2>/dev/null && return 0
        kill -0 "$SQL_HOLD_PID" 2>/dev/null || break
        sleep "$E2E_POLL_S"
    done
    e2e_fail "hold-file did not open $SQL_LOCKED_FILE: $(cat "$E2E_TEST_DIR/start-$n.err")"
}

# plant_sql_instance: all of the above.
plant_sql_instance() {
    plant_sql_package
    plant_sql_registration
    plant_sql_services
    plant_sql_folder
    plant_sql_hold_file
}
