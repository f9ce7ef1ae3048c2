-- 200 jobs for 40 accounts; every tenth job has an address that is not valid
-- (no @, two @, a space, no dot in the domain, nothing before the @).
INSERT INTO items (account_id, line, description, amount)
WITH RECURSIVE a(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM a WHERE n < 40),
               l(k) AS (SELECT 1 UNION ALL SELECT k + 1 FROM l WHERE k < 3)
SELECT n, k,
       ELT(k, 'Web hosting, monthly', 'Mailbox <10 GB> & backups', 'Domain renewal'),
       ROUND(n * 1.25 + k * 4.5, 2)
FROM a JOIN l ON k <= 1 + n % 3;

INSERT INTO jobs (id, account_id, recipient, name, subject)
WITH RECURSIVE j(n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM j WHERE n < 200)
SELECT n, 1 + n % 40,
       CASE WHEN n % 10 <> 0 THEN CONCAT('user', n, '@example.test')
            ELSE ELT(1 + (n DIV 10) % 5, CONCAT('user', n, '.example.test'),
                     CONCAT('user', n, '@@example.test'), CONCAT('user ', n, '@example.test'),
                     CONCAT('user', n, '@localhost'), '@example.test') END,
       CONCAT('Customer ', n), CONCAT('Your statement for account ', 1 + n % 40)
FROM j;
