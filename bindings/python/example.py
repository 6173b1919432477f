"""A Python host of quel2cln: the whole sequence of calls, printed line by
line.

    python3 example.py LIBRARY HOST PORT
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quel2cln  # noqa: E402


def main(library, host, port):
    yes_no = {True: "true", False: "false"}
    with quel2cln.Client(library, host, int(port)) as db:
        print("init: ok")
        db.exec_sql("shop", "SELECT 'Grüße €'", "bindings")
        print("exec: ok")
        no_value, value = db.get_auto_inc("shop", "orders", "id")
        print(f"get-auto-inc: no_value={yes_no[no_value]} value={value}")
        print("calc-auto-inc: value=%d" % db.calc_auto_inc("shop", "orders", "id", "year: 2026, branch: 7"))
        db.save_result("shop", "nightly", "done", "3 rows", "bindings")
        print("save-result: ok")
        try:
            db.exec_sql("shop", "DROP TABLE orders", "bindings")
            print("refused: not refused")
            return 1
        except quel2cln.Quel2ClnError as e:
            print(f"refused: {e}")
        print("last error in 10 bytes: " + db.last_error(10))
        print("lock -1: lock_result=" + yes_no[db.lock("shop", "invoice-1001", -1, "bindings", 7)[0]])
        result, text = db.lock("shop", "invoice-1001", 0, "bindings", 7)
        print(f"lock 0: lock_result={yes_no[result]} text={text}")
        print("lock 0 text in 6 bytes: " + db.lock("shop", "invoice-1001", 0, "bindings", 7, max_text=6)[1])
        print("lock 1: lock_result=" + yes_no[db.lock("shop", "invoice-1001", 1, "bindings", 7)[0]])
        try:
            db.lock("shop", "invoice-1001", 2, "bindings", 7)
            print("lock 2: not refused")
            return 1
        except quel2cln.Quel2ClnError as e:
            print(f"lock 2: {e}")
    print("done: ok")
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit("usage: example.py LIBRARY HOST PORT")
    sys.exit(main(*sys.argv[1:]))
