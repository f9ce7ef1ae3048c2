-- Tables of the notification daemon. A job is pending until a daemon
-- claims it (sending), then done or failed; reason says why it failed or
-- why its last attempt did not go through.
CREATE TABLE jobs (
  id          INT UNSIGNED NOT NULL PRIMARY KEY,
  account_id  INT UNSIGNED NOT NULL,
  recipient   VARCHAR(320) NOT NULL,
  name        VARCHAR(100) NOT NULL,
  subject     VARCHAR(200) NOT NULL,
  state       ENUM('pending','sending','done','failed') NOT NULL DEFAULT 'pending',
  attempts    INT UNSIGNED NOT NULL DEFAULT 0,
  next_try    DATETIME NOT NULL DEFAULT '2000-01-01 00:00:00',
  claimed_by  VARCHAR(120) NULL,
  claimed_at  DATETIME(3) NULL,
  finished_at DATETIME(3) NULL,
  message_id  VARCHAR(250) NULL,
  reason      VARCHAR(300) NULL,
  KEY by_state (state, next_try)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;

-- The rows listed in each account's notification.
CREATE TABLE items (
  account_id  INT UNSIGNED NOT NULL,
  line        INT UNSIGNED NOT NULL,
  description VARCHAR(100) NOT NULL,
  amount      DECIMAL(10,2) NOT NULL,
  PRIMARY KEY (account_id, line)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;
