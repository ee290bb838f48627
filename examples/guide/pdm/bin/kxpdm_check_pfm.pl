# The guide's item ID check: exit 1 lets the mapped item ID and revision be
# used; only parts whose file name starts with "approved" get them.
case "$(basename -- "$1")" in
    approved*) exit 1 ;;
    *) exit 0 ;;
esac
