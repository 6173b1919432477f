// A C# host of quel2cln: the whole sequence of calls, printed line by line.
//
//   Example.exe HOST PORT
using System;
using Quel2Cln;

static class Example
{
    static string YesNo(bool value) { return value ? "true" : "false"; }

    static int Main(string[] args)
    {
        if (args.Length != 2)
        {
            Console.Error.WriteLine("usage: Example.exe HOST PORT");
            return 2;
        }
        try
        {
            using (Client db = new Client(args[0], int.Parse(args[1])))
            {
                Console.WriteLine("init: ok");
                db.ExecSQL("shop", "SELECT 'Gr\u00FC\u00DFe \u20AC'", "bindings");
                Console.WriteLine("exec: ok");
                uint? next = db.GetAutoInc("shop", "orders", "id");
                Console.WriteLine("get-auto-inc: no_value=" + YesNo(!next.HasValue) + " value=" + next.GetValueOrDefault());
                Console.WriteLine("calc-auto-inc: value=" + db.CalcAutoInc("shop", "orders", "id", "year: 2026, branch: 7"));
                db.SaveResult("shop", "nightly", "done", "3 rows", "bindings");
                Console.WriteLine("save-result: ok");
                try
                {
                    db.ExecSQL("shop", "DROP TABLE orders", "bindings");
                    Console.WriteLine("refused: not refused");
                    return 1;
                }
                catch (Quel2ClnException e)
                {
                    Console.WriteLine("refused: " + e.Message);
                }
                Console.WriteLine("last error in 10 bytes: " + db.LastError(10));
                Console.WriteLine("lock -1: lock_result=" + YesNo(db.Lock("shop", "invoice-1001", -1, "bindings", 7).LockResult));
                LockAnswer held = db.Lock("shop", "invoice-1001", 0, "bindings", 7);
                Console.WriteLine("lock 0: lock_result=" + YesNo(held.LockResult) + " text=" + held.Text);
                Console.WriteLine("lock 0 text in 6 bytes: " + db.Lock("shop", "invoice-1001", 0, "bindings", 7, 6).Text);
                Console.WriteLine("lock 1: lock_result=" + YesNo(db.Lock("shop", "invoice-1001", 1, "bindings", 7).LockResult));
                try
                {
                    db.Lock("shop", "invoice-1001", 2, "bindings", 7);
                    Console.WriteLine("lock 2: not refused");
                    return 1;
                }
                catch (Quel2ClnException e)
                {
                    Console.WriteLine("lock 2: " + e.Message);
                }
            }
        }
        catch (Quel2ClnException e)
        {
            Console.WriteLine("failed: " + e.Message);
            return 1;
        }
        Console.WriteLine("done: ok");
        return 0;
    }
}
