# Sourced by the Wine test scripts: one throwaway prefix in the build tree,
# no debug output, no install prompts, every call bounded in time. With
# WINE_LOCALE set, Wine runs under that locale (and its 8-bit code page).
export WINEPREFIX=${LORIMEX_WINEPREFIX:?the Wine prefix folder}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
wine_run() { timeout "${WINE_TIMEOUT:-60}" env ${WINE_LOCALE:+LC_ALL=$WINE_LOCALE} wine "$@"; }
