# shellcheck shell=bash
# Plants the product's services and files, as its installer leaves them on a
# 64-bit machine, for the scenarios and the main-job command. Uses lib.sh and
# the tools in C:\e2e\ (e2e_tool.exe, test_service.exe) only.

# The default listing's services, in listing order.
PRODUCT_SERVICES=(ZeltraWebServer ZeltraBizUpdater ZeltraBizClientSetup)

# plant_product_services [WEB UPDATER CLIENT]
# Installs the three services (start type demand: under Wine an automatic
# service that stopped is started again with the next wineserver) from the
# tests' own service program, each with its behaviour on a stop request:
#   prompt  running, stops at once
#   slow    running, stays stop-pending about 3 s, then stops
#   refuse  running, does not accept the stop control
#   never   running, stays stop-pending for ever
#   stopped installed, never started
#   absent  not installed
# Default: prompt slow refuse.
plant_product_services() {
    (($#)) || set -- prompt slow refuse
    (($# == ${#PRODUCT_SERVICES[@]})) || e2e_fail "plant_product_services: one behaviour per service"
    local i name behaviour
    for i in "${!PRODUCT_SERVICES[@]}"; do
        name=${PRODUCT_SERVICES[i]}
        behaviour=${*:i+1:1}
        case $behaviour in
            absent) continue ;;
            prompt | slow | refuse | never | stopped) ;;
            *) e2e_fail "plant_product_services: unknown behaviour $behaviour" ;;
        esac
        # A stopped service is one that stops at once, never started.
        e2e_wine 'C:\e2e\e2e_tool.exe' service-create "$name" \
            "C:\\e2e\\test_service.exe ${behaviour/#stopped/prompt}" demand ||
            e2e_fail "could not create the service $name"
        [[ $behaviour == stopped ]] && continue
        e2e_wine 'C:\e2e\e2e_tool.exe' service-start "$name" || e2e_fail "could not start the service $name"
    done
}

# The product's folder below %PROGRAMFILES% (C:\Program Files (x86) for a
# 32-bit program under WOW64).
PRODUCT_PROGRAM_FOLDER='C:\Program Files (x86)\Zeltra Computing\ZeltraBusinessServer'

# One file in each listed folder of the all-users profile, old layout
# ("Application Data", "Start Menu") and new; a single file keeps each
# folder's log lines in one order.
PRODUCT_DATA_FILES=(
    'C:\ProgramData\Application Data\Zeltra Computing\ZeltraBusinessServer\server.dat'
    'C:\ProgramData\Application Data\Zeltra Computing\ZeltraWS\ws.dat'
    'C:\ProgramData\Application Data\ZeltraSetup\setup.ini'
    'C:\ProgramData\Start Menu\Programs\Zeltra Enterprise Security\Zeltra Enterprise Security Console.lnk'
    'C:\ProgramData\Zeltra Computing\ZeltraBusinessServer\server.cfg'
    'C:\ProgramData\Zeltra Computing\ZeltraWS\ws.cfg'
    'C:\ProgramData\ZeltraSetup\setup.log'
    'C:\ProgramData\Microsoft\Windows\Start Menu\Programs\Zeltra Enterprise Security\Zeltra Enterprise Security Console.lnk'
)

# The listed shortcuts: the all-users desktop of old systems (code 7) and
# the Public desktop (code 10).
PRODUCT_SHORTCUTS=(
    'C:\ProgramData\Desktop\Zeltra Enterprise Security Console.lnk'
    'C:\ProgramData\Desktop\Zeltra Business Lite Console.lnk'
    'C:\users\Public\Desktop\Zeltra Enterprise Security Console.lnk'
    'C:\users\Public\Desktop\Zeltra Business Lite Console.lnk'
)

# The installer's cache folder. The listing names it, but as a 14th entry
# after a count of 13: the program never reaches it.
PRODUCT_INSTALLER_FOLDER='C:\windows\Installer\{5A0C3E71-64B2-4D8F-A1C9-7E32B6D05F48}'

# plant_product_files
# Plants every file entry of the default listing where it belongs: the
# program folder with two files and a subfolder, one file in each listed
# folder of the all-users profile, the four shortcuts, and the installer's
# cache folder.
plant_product_files() {
    local f
    e2e_plant_file "$PRODUCT_PROGRAM_FOLDER\\ZeltraBS.exe"
    e2e_plant_file "$PRODUCT_PROGRAM_FOLDER\\config.xml"
    e2e_plant_file "$PRODUCT_PROGRAM_FOLDER\\bin\\zbs.dll"
    for f in "${PRODUCT_DATA_FILES[@]}" "${PRODUCT_SHORTCUTS[@]}"; do e2e_plant_file "$f"; done
    e2e_plant_file "$PRODUCT_INSTALLER_FOLDER\\ZeltraBusinessServer.msi"
}
