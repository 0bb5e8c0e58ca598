import type { Task } from "@/models/task";
import { isOverdue } from "../models/task";

export interface TaskListProps {
  tasks: Task[];
  onComplete(id: string): void;
}

// One row per task; overdue rows are highlighted.
export const TaskList = ({ tasks, onComplete }: TaskListProps) => {
  const now = new Date();
  return (
    <ul className="tasks">
      {tasks.map((task) => (
        <li key={task.id} className={isOverdue(task, now) ? "overdue" : ""}>
          {task.title}
          <button onClick={() => onComplete(task.id)}>Done</button>
        </li>
      ))}
    </ul>
  );
};
